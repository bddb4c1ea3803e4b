#pragma once

#include "request/RequestProcessor.h"

/// The daemon's commands in the order they are matched (with the test hooks when asked for).
CommandTable webgatedCommands();
/// The daemon's own commands alone.
CommandTable commandRows();
