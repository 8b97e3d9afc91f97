#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// While it lives, takes the http and https addresses that would go to the browser.
class BrowserCatcher : public QObject {
    Q_OBJECT
public:
    // The web by default; {"file"} catches what would open in the system's viewer.
    explicit BrowserCatcher(const QStringList &caught = {QStringLiteral("https"), QStringLiteral("http")})
        : schemes(caught)
    {
        for (const QString &scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~BrowserCatcher() override
    {
        for (const QString &scheme : schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    QList<QUrl> opened;
    const QStringList schemes;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};
