#pragma once

#include <QString>
#include <functional>

#include "request/Request.h"

class ProgramStore;

/// The commands on the stored robot programs: list, delete, rename, run in the interpreter,
/// stop, feed standard input and poll. The file commands run in the worker thread, the others in
/// the request thread; processes are started and killed only through the script runner.
namespace ProgramCommands {

/// "DATA": name, size and path of every file in the store, sorted ignoring case.
RequestResult getProgramList(Request& request, const ProgramStore& store);
RequestResult deleteFile(Request& request, const ProgramStore& store);
RequestResult renameFile(Request& request, const ProgramStore& store);

/// Kills the program started last, then starts "programName" in the interpreter: on a private
/// copy of the file, which must be a plain file with no other link. `afterCheck` runs between
/// the file's checks and its copy (tests).
RequestResult runProgram(Request& request, const QString& interpreterPath, QString& currentProgram,
                         const std::function<void()>& afterCheck = std::function<void()>());
RequestResult killProcess(Request& request, const QString& interpreterPath,
                          QString& currentProgram);
RequestResult writeToStdin(Request& request);
/// Whether the interpreter runs, its state and the output collected since the last poll.
RequestResult getProcessInfo(Request& request, const QString& interpreterPath,
                             const QString& currentProgram);

}  // namespace ProgramCommands
