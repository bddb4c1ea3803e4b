#include "CommandTable.h"

#include "Fcgi.h"

CommandTable webgatedCommands() {
    return CommandTable{};
}
