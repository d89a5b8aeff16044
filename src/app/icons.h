// The toolbar's icons: taken from the desktop's icon theme when it has them, else drawn here.
// All editions use the same ones. Also the program's own icon and the editions' splash pictures.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace kv::app {

// "open", "copy", "print", "take", "retrieve", "connect", "large", "rotate-ccw", "rotate-cw",
// "white-balance", "brightness", "about".
QIcon commandIcon(const QString& name);
// The same icon as drawn by this program, never from the theme.
QIcon drawnIcon(const QString& name);

QIcon programIcon();

// The splash picture of an edition (by the splash id of the edition table), with the product
// name on it.
QPixmap splashPicture(int splashId, const QString& productName);

} // namespace kv::app
