#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

/// Writes new values into a configuration file in place: only the values of the changed
/// entries change, every other byte of the file stays as it was. The new text is accepted only
/// when the reader finds in it exactly the entries meant; the file is then replaced atomically.
class ConfigEditor {
public:
    /// Records the new value of the entry `key` (group + "/" + key).
    void setValue(const QString& key, const QString& value) { m_changes.insert(key, value); }
    const QMap<QString, QString>& changes() const { return m_changes; }

    /// Applies the changes to the file at `path` (a path on this machine, not a link); true when
    /// the file now holds them. On false the file is untouched.
    bool write(const QString& path) const;

    /// The file text with the changes applied, checked by reading it back; false when the
    /// changes cannot be written so that they read back as meant.
    bool apply(const QByteArray& original, QByteArray* result) const;

private:
    QMap<QString, QString> m_changes;
};
