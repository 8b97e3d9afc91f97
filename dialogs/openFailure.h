#pragma once

class QUrl;
class QWidget;

// Says that the system opened nothing for an address: a desktop without a web browser or a file
// manager refuses quietly, and a button that does nothing looks broken. The address stays selectable
// in the message, so that it can be opened by hand.
void reportNotOpened(QWidget *parent, const QUrl &address);
