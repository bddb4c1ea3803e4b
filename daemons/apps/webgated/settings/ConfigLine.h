#pragma once

#include <QByteArray>
#include <QString>

/// How reader and editor split a line of a configuration file. Both go through this one
/// function, so that a file the editor writes reads back to the values it meant to write.
namespace ConfigLine {

enum Kind {
    Ignored,      // empty, or a comment ("#" or ";" first)
    Section,      // "[group]": `first` is the group
    Entry,        // key, separator, value: `first` is the key, `second` the value
    NoSeparator,  // neither whitespace nor "=" in it
};

/// Classifies a line that is already trimmed.
Kind classify(const QString& trimmed, QString* first, QString* second);

/// The bytes of an entry line up to and including its separator (leading whitespace, key,
/// separator), found without decoding anything else of the line; -1 when the line's own bytes
/// do not give the key `key` (the editor then refuses to rewrite it).
int separatorEnd(const QByteArray& line, const QString& key);

}  // namespace ConfigLine
