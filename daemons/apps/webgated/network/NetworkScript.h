#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include "network/NetworkConfigFiles.h"

class Request;

/// The bytes of the files a change touches, by file.
using NetworkFileBytes = QMap<NetworkFile, QByteArray>;

/// A command that changes the network through a reconfiguration script: the script, the files it
/// changes, its arguments from the request and the arguments that re-create the settings the
/// files held before. One row of a table that knows every such command.
struct NetworkScript {
    const char* command;  // "SetEthConf", "SetWlanConf" or "SetHostapd"
    const char* scriptKey;
    const char* scriptDefault;
    QList<NetworkFile> files;
    /// The last argument (and the last undo argument) is a passphrase: no log line may show it.
    bool secretLast;
    /// The script's arguments for `request` and the reply's "MSG" (null: none); false when the
    /// request lacks what the script needs.
    bool (*arguments)(const Request& request, QStringList* args, const char** message);
    /// The script's arguments that put back the settings `files` hold; false with `why` when the
    /// files cannot say.
    bool (*undoArguments)(const NetworkFileBytes& files, QStringList* args, QString* why);

    /// The script from the configuration ("~/Scripts/..."); also its run name in the runner.
    QString script() const;

    /// The row of `command`; null for any other command.
    static const NetworkScript* find(const QString& command);
};
