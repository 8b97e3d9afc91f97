#pragma once

#include <QList>
#include <QString>
#include <QTreeView>
#include <QUrl>

class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;

// The file list: takes files and folders dragged in from outside and lets rows be moved between
// other rows, never onto a row, so the list stays flat.
class PelmoraTreeView : public QTreeView {
    Q_OBJECT

public:
    explicit PelmoraTreeView(QWidget *parent = nullptr);

    // Path text of the first selected row; the form keeps it current, a drag of rows reads it.
    QString selectedPath;

signals:
    void addURLs(QList<QUrl> urls);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void moveRowsBetween(QDropEvent *event);
};
