#pragma once

#include <QHash>
#include <QString>
#include <QVariant>
#include <mutex>

namespace kel {
namespace rpc {

/// Configuration values from two INI files, the user file overriding the system file.
/// The key "~/Group/name" addresses entry `name` of section [Group]; "~/name" an entry before
/// any section. Safe to read from any thread.
class ParameterStore {
public:
    /// Replaces the stored values with those of the two files; a missing file adds nothing.
    void read(const QString& systemFile, const QString& userFile);
    QVariant value(const QString& key, const QVariant& defaultValue) const;

private:
    static void readFile(const QString& fileName, QHash<QString, QVariant>* values);

    mutable std::mutex m_mutex;
    QHash<QString, QVariant> m_values;
};

}  // namespace rpc
}  // namespace kel
