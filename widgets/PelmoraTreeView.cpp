#include "widgets/PelmoraTreeView.h"

PelmoraTreeView::PelmoraTreeView(QWidget *parent) : QTreeView(parent) {}
