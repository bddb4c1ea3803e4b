#pragma once

#include <QString>

/// Checks and clean-ups of text that comes from outside: a peer, a browser, a tool's output.
namespace TextChecks {

/// Whether `text` holds a control character (below 0x20, or DEL), a tab excepted when
/// `tabAllowed`: such a value could add lines of its own for a reader that splits there.
bool hasControlCharacter(const QString& text, bool tabAllowed = false);

/// `text` for a log line: every control character written as "?", so that it cannot start a
/// forged line.
QString printable(QString text);

/// At most the first 200 bytes of a C string (Latin-1; null gives ""), printable.
QString printable(const char* text);

}  // namespace TextChecks
