#include "widgets/PelmoraFrame.h"

PelmoraFrame::PelmoraFrame(QWidget *parent) : QFrame(parent) {}
