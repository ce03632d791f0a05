// The program's icon (resource 128): the same design at 16, 32 and 48 pixels.
#pragma once

#include <QIcon>

QIcon LoadAppIcon();
