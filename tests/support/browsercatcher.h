#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QUrl>

// While it lives, takes the http and https addresses that would go to the browser.
class BrowserCatcher : public QObject {
    Q_OBJECT
public:
    BrowserCatcher()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
    }
    ~BrowserCatcher() override
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};
