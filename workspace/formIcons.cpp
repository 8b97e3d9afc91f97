#include "workspace/PelmoraForm.h"

#include "base/colorscheme.h"
#include "ui_PelmoraForm.h"

#include <QIcon>
#include <QToolButton>

namespace {

QIcon resourceIcon(const char *name)
{
    return QIcon(QStringLiteral(":/resources/images/") + QString::fromLatin1(name));
}

void setFamilyIcon(QToolButton *button, bool dark, const char *standard, const char *white)
{
    button->setIcon(resourceIcon(dark ? white : standard));
}

// Buttons that the file list disables carry a grey glyph while disabled, in either scheme.
void setStatefulIcon(QToolButton *button, bool dark, const char *standard, const char *white,
                     const char *gray)
{
    button->setIcon(resourceIcon(button->isEnabled() ? (dark ? white : standard) : gray));
}

} // namespace

void PelmoraForm::updateIcons()
{
    const bool dark = ColorScheme::isDark();
    setFamilyIcon(ui->addButton, dark, "_Add24.png", "_AddWhite24.png");
    setFamilyIcon(ui->sourceImageButton, dark, "_DropLogo.png", "_DropLogoWhite.png");
    setStatefulIcon(ui->upscaleButton, dark, "_Convert24.png", "_ConvertWhite24.png", "_ConvertGray24.png");
    setStatefulIcon(ui->removeButton, dark, "_Delete24.png", "_DeleteWhite24.png", "_DeleteGray24.png");
    setStatefulIcon(ui->clearButton, dark, "_shortcut24.png", "_shortcutWhite24.png", "_shortcutGray24.png");
    setFamilyIcon(ui->outputFolderButton, dark, "_Folder24.png", "_FolderWhite24.png");
    setFamilyIcon(ui->updateButton, dark, "Update24.png", "UpdateWhite24.png");
    setFamilyIcon(ui->updateButton2, dark, "Update24.png", "UpdateWhite24.png");
    setFamilyIcon(ui->webButton, dark, "Web24.png", "WebWhite24.png");
    setFamilyIcon(ui->webButton2, dark, "Web24.png", "WebWhite24.png");
    setFamilyIcon(ui->aboutButton, dark, "About24.png", "AboutWhite24.png");
    setFamilyIcon(ui->aboutButton2, dark, "About24.png", "AboutWhite24.png");
}
