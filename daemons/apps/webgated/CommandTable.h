#pragma once

#include "frame/RequestProcessor.h"

/// The daemon's commands in the order they are matched.
CommandTable webgatedCommands();
