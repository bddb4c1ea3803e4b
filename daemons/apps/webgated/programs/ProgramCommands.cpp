#include "programs/ProgramCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "service/Client.h"
#include "base/FsRoot.h"
#include "base/RenameNoReplace.h"
#include "kel/corvanta/daemons/Log.h"
#include "process/ScriptRunner.h"
#include "programs/ProgramCopy.h"
#include "programs/ProgramStore.h"
#include "base/DaemonLog.h"

using kel::corvanta::daemons::Log;

namespace {

QString textParam(const Request& request, const char* key) {
    return jsonToQString(request.param(key));
}

// Refuses to touch anything once "/var/www/programs" leads somewhere else than at start-up.
bool storeIntact(Request& request, const ProgramStore& store) {
    if (store.isIntact()) return true;
    daemonLog(QStringLiteral(
            "ERROR: /var/www/programs no longer leads to the program folder prepared at start-up"),
        0);
    request.setText("MSG", QStringLiteral("The program folder has changed since start-up."));
    return false;
}

QString storePath(const QString& name) { return ProgramStore::fsDir() + QLatin1Char('/') + name; }

QByteArray encoded(const QString& path) { return QFile::encodeName(path); }

struct RefusalText {
    const char* message;  // follows the program's name
    int level;
};

static_assert(ProgramCopy::kMaxBytes == 16 * 1024 * 1024, "the refusal names the limit");

RefusalText refusalText(ProgramCopy::Refusal refusal) {
    switch (refusal) {
        case ProgramCopy::Refusal::Missing:
            return {" does not exist: it is not run.", 1};
        case ProgramCopy::Refusal::Link:
            return {" is a symbolic link: it is not run.", 0};
        case ProgramCopy::Refusal::NotAFile:
            return {" is not a file: it is not run.", 0};
        case ProgramCopy::Refusal::OtherLinks:
            return {" has other links: it is not run.", 0};
        case ProgramCopy::Refusal::TooLarge:
            return {" is larger than 16 MiB: it is not run.", 1};
        case ProgramCopy::Refusal::Unreadable:
            return {" cannot be read: it is not run.", 0};
        case ProgramCopy::Refusal::None:
        case ProgramCopy::Refusal::CopyFailed:
            break;
    }
    return {" cannot be copied to run it: it is not run.", 0};
}

// Whatever is at the name, a link (even a dangling one) as itself, never its target.
bool exists(const QString& name) {
    struct stat status;
    return ::lstat(encoded(storePath(name)).constData(), &status) == 0;
}

}  // namespace

namespace ProgramCommands {

RequestResult getProgramList(Request& request, const ProgramStore& store) {
    if (!storeIntact(request, store)) return Failed;
    const QFileInfoList files =
        QDir(ProgramStore::fsDir()).entryInfoList(QDir::Files, QDir::Name | QDir::IgnoreCase);
    json_t* list = json_array();
    for (const QFileInfo& file : files) {
        json_t* entry = json_object();
        json_object_set_new(entry, "fileName", jsonFromQString(file.fileName()));
        // The entry's own size: a link's, never its target's (a file anyone may point at).
        struct stat own;
        const bool found = ::lstat(encoded(file.filePath()).constData(), &own) == 0;
        json_object_set_new(entry, "fileSize", json_integer(found ? own.st_size : 0));
        json_object_set_new(
            entry, "filePath",
            jsonFromQString(ProgramStore::robotDir() + QLatin1Char('/') + file.fileName()));
        json_array_append_new(list, entry);
    }
    request.set("DATA", list);
    return Data;
}

RequestResult deleteFile(Request& request, const ProgramStore& store) {
    const QString name = textParam(request, "fileName");
    if (!ProgramStore::isValidFileName(name)) return InvalidFileName;
    if (!storeIntact(request, store)) return Failed;
    if (!exists(name)) {
        // No blank before "doesn't": the page and scripts match this message as it stands.
        request.setText("MSG", name + QStringLiteral("doesn't exist."));
        return Failed;
    }
    // unlink(2): a link goes itself, its target stays; a folder is refused.
    if (::unlink(encoded(storePath(name)).constData()) != 0) {
        request.setText("MSG", QStringLiteral("Failed to delete ") + name + QLatin1Char('.'));
        return Failed;
    }
    return Ack;
}

RequestResult renameFile(Request& request, const ProgramStore& store) {
    const QString name = textParam(request, "fileName");
    const QString newName = textParam(request, "newFileName");
    if (!ProgramStore::isValidFileName(name)) {
        request.setText("MSG", QStringLiteral("Invalid file name ") + name);
        return Failed;
    }
    if (!ProgramStore::isValidFileName(newName)) {
        request.setText("MSG", QStringLiteral("Invalid new file name ") + newName);
        return Failed;
    }
    if (!storeIntact(request, store)) return Failed;
    if (!exists(name)) {
        // No blank before "doesn't": the page and scripts match this message as it stands.
        request.setText("MSG", name + QStringLiteral("doesn't exist."));
        return Failed;
    }
    // Never replaces anything (a link included, dangling or not), never copies, never follows a
    // link: a copy would write through a link planted at the new name.
    if (!renameNoReplace(encoded(storePath(name)), encoded(storePath(newName)))) {
        request.setText("MSG", QStringLiteral("Failed to rename ") + name + QStringLiteral(" as") +
                                   newName + QLatin1Char('.'));
        return Failed;
    }
    return Ack;
}

RequestResult runProgram(Request& request, const QString& interpreterPath, QString& currentProgram,
                         const std::function<void()>& afterCheck) {
    ScriptRunner* runner = ScriptRunner::singleton();
    if (!currentProgram.isEmpty()) {
        daemonLog(QStringLiteral("kill current process:") + currentProgram, 2);
        runner->killTree(interpreterPath);
    }
    const QString name = textParam(request, "programName");
    if (name.isEmpty()) return MissingParameters;
    // Only a plain name: the interpreter runs as root on whatever path it is given.
    if (!ProgramStore::isValidFileName(name)) return InvalidFileName;

    Client* client = Client::singleton();
    const QString programDir = client
                                   ->getParameter(QStringLiteral("~/Flowdesk/programpath"),
                                                  QStringLiteral("/home/corvanta/programs"))
                                   .toString();
    const QString program = FsRoot::fsPath(programDir + QLatin1Char('/') + name);
    // The interpreter (root) gets a private copy of the file checked here, never the store's
    // name, behind which anyone may put a link or another file meanwhile.
    const ProgramCopy::Outcome made = ProgramCopy::make(program, name, afterCheck);
    if (!made.copy) {
        const RefusalText refusal = refusalText(made.refusal);
        request.setText("MSG", name + QLatin1String(refusal.message));
        daemonLog(QStringLiteral("runProgram refused: %1: %2")
                .arg(FsRoot::robotPath(program), made.reason),
            refusal.level);
        return Failed;
    }
    QStringList args{QStringLiteral("-f"), made.copy->path()};
    const int interval =
        client->getParameter(QStringLiteral("~/Flowdesk/globalVariableOutputInterval"), 0).toInt();
    if (interval > 0)
        args << QStringLiteral("--global-variable-output-interval") << QString::number(interval);
    // The copy goes when the run ends, however it ends: the runner drops this callback then.
    std::shared_ptr<ProgramCopy> copy = made.copy;
    runner->runScript(interpreterPath, args, [copy](int, int) mutable { copy.reset(); });
    currentProgram = name;
    return Ack;
}

RequestResult killProcess(Request&, const QString& interpreterPath, QString& currentProgram) {
    ScriptRunner::singleton()->killTree(interpreterPath);
    currentProgram.clear();
    return Ack;
}

RequestResult writeToStdin(Request&) { return Ack; }

RequestResult getProcessInfo(Request& request, const QString& interpreterPath,
                             const QString& currentProgram) {
    ScriptRunner* runner = ScriptRunner::singleton();
    // One snapshot: "hasProcess" and "processState" always describe the same moment.
    const ScriptRunner::ProcessInfo info = runner->processInfo(interpreterPath);
    RequestResult result = Data;
    if (currentProgram.isEmpty() || !info.registered) {
        request.set("hasProcess", json_integer(-1));
    } else {
        request.set("hasProcess", json_integer(1));
        request.setText("currentProcess", currentProgram);
        request.set("processState", json_integer(info.state));
        result = Ack;
    }
    request.setText("output", runner->getProcessOutput());
    return result;
}

}  // namespace ProgramCommands
