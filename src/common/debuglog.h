#ifndef DEBUGLOG_H
#define DEBUGLOG_H

#include <QMessageLogger>

// Diagnostics go to Qt's debug output under category "default" and carry
// no source file, line or function, whatever the build type.
inline QMessageLogger debugLog()
{
    return QMessageLogger(nullptr, 0, nullptr, "default");
}

#endif
