#pragma once

#include <QFrame>
#include <QList>
#include <QUrl>

class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;

// The drop page: takes image files dragged in from the file manager and hands every dropped URL to
// the form. Whether a drag may land is decided by its first item alone.
class PelmoraFrame : public QFrame {
    Q_OBJECT

public:
    explicit PelmoraFrame(QWidget *parent = nullptr);

signals:
    void addURLs(QList<QUrl> urls);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
};
