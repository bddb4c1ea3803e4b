#include "system/SystemInfoCommands.h"

#include <sys/stat.h>

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QStringList>
#include <QTcpSocket>
#include <algorithm>

#include "base/FsRoot.h"
#include "system/PackageListing.h"
#include "kel/corvanta/daemons/Log.h"
#include "kel/rpc/Client.h"
#include "base/AtomicFile.h"

namespace SystemInfoCommands {

namespace {

const char kVersionFile[] = "/version.txt";
const char kPackageListFile[] = "/var/www/updlist.vnt";
constexpr qint64 kDebugMessageBudgetMs = 1000;

json_t* menuItem(const char* name, bool on) {
    json_t* item = json_object();
    json_object_set_new(item, "name", json_string(name));
    json_object_set_new(item, "sts", json_integer(on ? 1 : 0));
    return item;
}

// Readers of the file see the old or the new content, never a half-written one. A plain file
// keeps its mode, a new one is readable by all (the web server serves it); a link planted at the
// name is replaced itself, its target left alone.
bool replaceFile(const QString& path, const QByteArray& content) {
    AtomicFileOptions options;
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode)) {
        options.mode = status.st_mode & 07777;
    }
    return AtomicFile::write(path, content, options);
}

}  // namespace

RequestResult getMenuItems(Request& request, const kel::rpc::Client& parameters) {
    const bool update =
        parameters.getParameter(QStringLiteral("~/Menu/updateItem"), false).toBool();
    const bool map = parameters.getParameter(QStringLiteral("~/Menu/factory4Item"), false).toBool();
    json_t* items = json_array();
    json_array_append_new(items, menuItem("Update", update));
    json_array_append_new(items, menuItem("Map", map));
    request.set("DATA", items);
    return Data;
}

RequestResult getVersion(Request& request) {
    QFile file(FsRoot::fsPath(QString::fromLatin1(kVersionFile)));
    if (!file.open(QIODevice::ReadOnly)) return Failed;
    QByteArray line = file.readLine();
    if (line.isEmpty()) return Ack;
    if (line.endsWith('\n')) line.chop(1);
    if (line.endsWith('\r')) line.chop(1);
    request.setText("DATA", QString::fromUtf8(line));
    return Data;
}

JsonPtr parsePackageListing(const QByteArray& listing) {
    JsonPtr records(json_array());
    const QList<QByteArray> lines = listing.split('\n');
    int line = 0;
    // The legend and the column titles end at the "+++-===..." line.
    while (line < lines.size() && lines.at(line).split('-').first() != "+++") ++line;
    for (++line; line < lines.size(); ++line) {
        const QStringList fields = QString::fromUtf8(lines.at(line))
                                       .simplified()
                                       .split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 3) continue;
        json_t* record = json_object();
        json_object_set_new(record, "sts", jsonFromQString(fields.at(0)));
        json_object_set_new(record, "nme", jsonFromQString(fields.at(1)));
        json_object_set_new(record, "ver", jsonFromQString(fields.at(2)));
        json_array_append_new(records.get(), record);
    }
    return records;
}

RequestResult updateCheck(Request& request, PackageListing& listing) {
    std::shared_ptr<DeferredReply> reply = request.defer();
    if (!reply) return Failed;  // too many requests wait: no tool is started for this one
    listing.request(std::move(reply));
    return Ack;
}

bool storePackageList(const QByteArray& listing, const json_t* records) {
    const QString listFile = FsRoot::fsPath(QString::fromLatin1(kPackageListFile));
    return replaceFile(listFile, listing) && replaceFile(listFile, jsonDump(records, 0));
}

RequestResult sendDebugMessage(Request& request, quint16 port) {
    const json_t* message = request.param("message");
    if (!message) return MissingParameters;
    if (!json_is_string(message)) return InvalidParameters;
    const QByteArray bytes = jsonToQString(message).toUtf8();

    // Straight to the socket: no shell ever sees the text, and the wait is bounded.
    QElapsedTimer clock;
    clock.start();
    const auto remaining = [&clock] {
        return static_cast<int>(std::max<qint64>(1, kDebugMessageBudgetMs - clock.elapsed()));
    };
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    if (socket.waitForConnected(remaining())) {
        socket.write(bytes);
        while (socket.bytesToWrite() > 0 && clock.elapsed() < kDebugMessageBudgetMs &&
               socket.waitForBytesWritten(remaining())) {
        }
        socket.disconnectFromHost();
        if (socket.state() != QAbstractSocket::UnconnectedState) {
            socket.waitForDisconnected(remaining());
        }
    }
    socket.abort();
    return Ack;
}

}  // namespace SystemInfoCommands
