#pragma once

/// The outcome a command handler ends with; selects the reply's "TYPE" and "MSG".
enum RequestResult {
    Ack = 0,
    Data = 1,
    NoTypeField = 2,
    UnknownCommand = 3,
    MissingParameters = 4,
    InvalidParameters = 5,
    NoRunningProgram = 6,
    Failed = 7,
    InvalidFileName = 8,
};
