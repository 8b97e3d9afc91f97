#pragma once

#include <QFrame>
#include <QList>
#include <QUrl>

// The drop page: a frame that takes images dragged from the file manager.
class PelmoraFrame : public QFrame {
    Q_OBJECT

public:
    explicit PelmoraFrame(QWidget *parent = nullptr);

signals:
    void addURLs(QList<QUrl> urls);
};
