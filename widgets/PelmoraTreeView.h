#pragma once

#include <QList>
#include <QString>
#include <QTreeView>
#include <QUrl>

// The file list: takes files and folders dropped from outside and moves its own rows.
class PelmoraTreeView : public QTreeView {
    Q_OBJECT

public:
    explicit PelmoraTreeView(QWidget *parent = nullptr);

    // Path of the first selected row, written by the form's selection handler.
    QString selectedPath;

signals:
    void addURLs(QList<QUrl> urls);
};
