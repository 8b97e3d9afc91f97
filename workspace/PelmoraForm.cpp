#include "workspace/PelmoraForm.h"

#include "base/AppInfo.h"
#include "base/vendorserver.h"
#include "dialogs/AboutDialog.h"
#include "dialogs/CheckUpdateDialog.h"
#include "dialogs/openFailure.h"
#include "ui_PelmoraForm.h"
#include "widgets/ProgressPicture.h"
#include "workspace/batchProgress.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/upscaler.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPointer>
#include <QShortcut>
#include <QSplitter>
#include <QStackedLayout>
#include <QVBoxLayout>

#include <initializer_list>

#include <ncnn/gpu.h>

namespace {

QHBoxLayout *rowOf(std::initializer_list<QWidget *> widgets, Qt::Alignment alignment)
{
    auto *row = new QHBoxLayout;
    for (QWidget *widget : widgets)
        row->addWidget(widget);
    row->setAlignment(alignment);
    return row;
}

// The layouts of every page, innermost first; the pages themselves go into the form's page stack.
void buildLayouts(Ui::PelmoraForm *ui, QWidget *form, QLabel *timeLabel, ProgressPicture *picture)
{
    // Start page: the button row above the centred drop logo and its caption.
    auto *content = new QVBoxLayout(ui->sourceFrameContent);
    content->setAlignment(Qt::AlignCenter);
    content->addWidget(ui->sourceImageButton);
    content->addSpacing(20);
    content->addWidget(ui->sourceLabel);

    auto *start = new QVBoxLayout(ui->sourceFrame);
    start->addLayout(rowOf({ui->updateButton2, ui->webButton2, ui->aboutButton2}, Qt::AlignLeft));
    start->addWidget(ui->sourceFrameContent);

    // Work page: toolbar above the list and the options pane.
    QHBoxLayout *toolbar = rowOf({ui->upscaleButton, ui->addButton, ui->removeButton, ui->clearButton,
                                  ui->line, ui->updateButton, ui->webButton, ui->aboutButton},
                                 Qt::AlignLeft);

    auto *preview = new QHBoxLayout(ui->scrollAreaWidgetContents);
    preview->addWidget(ui->orgLabel);

    auto *options = new QVBoxLayout(ui->optionsWidget);
    options->setContentsMargins(10, 0, 0, 0);
    options->addLayout(rowOf({ui->outputFolderLabel}, {}));
    options->addLayout(rowOf({ui->outputFolderLineEdit, ui->outputFolderButton}, {}));
    options->addSpacing(10);
    options->addWidget(ui->scaleLabel);
    options->addWidget(ui->scaleSlider);
    options->addSpacing(10);
    options->addWidget(ui->processLabel);
    options->addWidget(ui->processCpuRadioButton);
    options->addWidget(ui->processGpuRadioButton);
    options->addWidget(ui->processGpuComboBox);
    options->addWidget(ui->processInfoLabel);
    options->addSpacing(4);
    // The options of the result, a row each with its label in front, so that the preview keeps
    // its height. The lists take the width; the numbers keep theirs beside them.
    auto *results = new QGridLayout;
    results->setColumnStretch(1, 1);
    results->setVerticalSpacing(2);
    QHBoxLayout *formatRow =
        rowOf({ui->outputFormatComboBox, ui->outputQualityLabel, ui->outputQualitySpinBox}, {});
    formatRow->setStretch(0, 1);
    QHBoxLayout *sizeRow = rowOf({ui->outputSizeComboBox, ui->outputSizeSpinBox}, {});
    sizeRow->setStretch(0, 1);
    results->addWidget(ui->outputFormatLabel, 0, 0);
    results->addLayout(formatRow, 0, 1);
    results->addWidget(ui->outputSizeLabel, 1, 0);
    results->addLayout(sizeRow, 1, 1);
    results->addWidget(ui->detailStrengthLabel, 2, 0);
    results->addWidget(ui->detailStrengthSlider, 2, 1);
    results->addWidget(ui->networkLabel, 3, 0);
    results->addWidget(ui->networkComboBox, 3, 1);
    options->addLayout(results);
    options->addSpacing(4);
    options->addWidget(ui->scrollArea);

    auto *splitter = new QSplitter(Qt::Horizontal, form);
    splitter->addWidget(ui->sourceTreeView);
    splitter->addWidget(ui->optionsWidget);
    // Left to their size hints, the long option texts would squeeze the list into a narrow strip;
    // start with the list and the options side by side in about equal parts instead.
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({1000, 1000});

    auto *work = new QVBoxLayout(ui->orgWidget);
    work->addLayout(toolbar);
    work->addLayout(rowOf({splitter}, {}));

    // Batch progress: labels, bar, times and Cancel in a column at the top; below them the picture
    // being enlarged takes the rest of the page.
    auto *cancelRow = new QHBoxLayout;
    cancelRow->addStretch();
    cancelRow->addWidget(ui->cancelButton);
    cancelRow->addStretch();
    auto *progress = new QVBoxLayout(ui->progressWidget);
    progress->addWidget(ui->progressFileLabel);
    progress->addWidget(ui->progressLabel);
    progress->addWidget(ui->progressBar);
    progress->addWidget(timeLabel);
    progress->addLayout(cancelRow);
    progress->addWidget(picture, 1);

    // Models missing.
    auto *missing = new QVBoxLayout(ui->downloadModelWidget);
    missing->setAlignment(Qt::AlignCenter);
    missing->addWidget(ui->downloadTitleLabel);
    missing->addSpacing(10);
    missing->addWidget(ui->downloadDescLabel);
    missing->addSpacing(20);
    missing->addLayout(rowOf({ui->downloadButton}, Qt::AlignCenter));

    // Model download; the error pair appears only when a download fails.
    auto *download = new QVBoxLayout(ui->downloadProgressWidget);
    download->setAlignment(Qt::AlignCenter);
    download->addWidget(ui->downloadFileLabel);
    download->addWidget(ui->downloadProgressBar);
    download->addWidget(ui->downloadErrorDescLabel);
    download->addWidget(ui->downloadErrorDescButton, 0, Qt::AlignHCenter);
    ui->downloadErrorDescLabel->hide();
    ui->downloadErrorDescButton->hide();
}

} // namespace

PelmoraForm::PelmoraForm(QWidget *parent) : QWidget(parent), ui(new Ui::PelmoraForm)
{
    ui->setupUi(this);
    progressTimeLabel = new QLabel(ui->progressWidget);
    progressTimeLabel->setObjectName(QStringLiteral("progressTimeLabel"));
    progressTimeLabel->setAlignment(Qt::AlignCenter);
    progressPicture = new ProgressPicture(ui->progressWidget);
    progressPicture->setObjectName(QStringLiteral("progressPicture"));
    buildLayouts(ui, this, progressTimeLabel, progressPicture);

    pageStack = new QStackedLayout;
    pageStack->addWidget(ui->sourceFrame);
    pageStack->addWidget(ui->orgWidget);
    pageStack->addWidget(ui->progressWidget);
    pageStack->addWidget(ui->downloadModelWidget);
    pageStack->addWidget(ui->downloadProgressWidget);
    setLayout(pageStack);
    pageStack->setCurrentIndex(0);

    fileModel.setColumnCount(2);
    fileModel.setHorizontalHeaderLabels({QStringLiteral("File List"), QStringLiteral("Path")});
    ui->sourceTreeView->setModel(&fileModel);
    ui->sourceTreeView->setIconSize(QSize(64, 64));
    ui->sourceTreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->sourceTreeView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // A flat list: no branch indentation before the thumbnails, and a first column wide enough for
    // the thumbnail and its three-line label, which the default section width cut to a few letters.
    ui->sourceTreeView->setRootIsDecorated(false);
    ui->sourceTreeView->setColumnWidth(0, ui->sourceTreeView->iconSize().width() +
                                              ui->sourceTreeView->fontMetrics().averageCharWidth() * 32);

    connect(ui->sourceTreeView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &PelmoraForm::on_itemSelection_changed);

    ui->sourceTreeView->setAcceptDrops(true);
    ui->sourceTreeView->setDragEnabled(true);
    ui->sourceTreeView->setDragDropMode(QAbstractItemView::InternalMove);
    ui->sourceTreeView->setDefaultDropAction(Qt::MoveAction);
    connect(ui->sourceTreeView, &PelmoraTreeView::addURLs, this, &PelmoraForm::on_AddURLs);
    // A row written by the last batch opens its result.
    connect(ui->sourceTreeView, &QAbstractItemView::doubleClicked, this, &PelmoraForm::openRowResult);
    ui->sourceTreeView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->sourceTreeView, &QWidget::customContextMenuRequested, this, &PelmoraForm::showRowMenu);
    ui->sourceFrame->setAcceptDrops(true);
    connect(ui->sourceFrame, &PelmoraFrame::addURLs, this, &PelmoraForm::on_AddURLs);

    ui->orgLabel->setText(QStringLiteral("Preview"));

    ui->scrollArea->installEventFilter(this);
    // The divider of the before and after view follows the pointer; the key works anywhere on the
    // work page (the list keeps the focus while the user goes through the rows).
    ui->orgLabel->installEventFilter(this);
    auto *toggle = new QShortcut(QKeySequence(Qt::Key_Backslash), ui->orgWidget);
    toggle->setContext(Qt::WidgetWithChildrenShortcut);
    connect(toggle, &QShortcut::activated, this, &PelmoraForm::toggleComparison);
    connect(&previewTimer, &QTimer::timeout, this, &PelmoraForm::on_updateTimer);
    ui->scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui->scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    // Before any query of Vulkan devices (the GPU list of the settings load).
    ncnn::create_gpu_instance();
    checkModelFiles();
    loadSettings();
    connectResultOptions();

    ui->updateButton->setText(QStringLiteral("Update"));
    ui->updateButton2->setText(ui->updateButton->text());
    ui->updateButton->setToolTip(ui->updateButton->text());
    ui->updateButton2->setToolTip(ui->updateButton->text());

    uiReady = true;
}

PelmoraForm::~PelmoraForm()
{
    stopBatch();
    // Its events would reach the filter after the widget record is gone.
    ui->orgLabel->removeEventFilter(this);
    // The network may hold device memory: it goes, with the job that shares it, before the instance
    // that owns the devices.
    delete batchJob;
    upscaler.reset();
    ncnn::destroy_gpu_instance();
    delete ui;
}

void PelmoraForm::on_aboutButton2_clicked()
{
    on_aboutButton_clicked();
}

// Both dialogs are modal children of the form and go when they close. Their Close button deletes
// them (so they must live on the heap); Escape only hides them, and then they go here.
void PelmoraForm::on_aboutButton_clicked()
{
    QPointer<AboutDialog> dialog = new AboutDialog(this);
    dialog->exec();
    delete dialog;
}

void PelmoraForm::on_webButton_clicked()
{
    if (!AppInfo::openWebSite())
        reportNotOpened(this, VendorServer::webSiteUrl());
}

void PelmoraForm::on_webButton2_clicked()
{
    on_webButton_clicked();
}

void PelmoraForm::on_updateButton_clicked()
{
    QPointer<CheckUpdateDialog> dialog = new CheckUpdateDialog(this);
    dialog->exec();
    delete dialog;
}

void PelmoraForm::on_updateButton2_clicked()
{
    on_updateButton_clicked();
}
