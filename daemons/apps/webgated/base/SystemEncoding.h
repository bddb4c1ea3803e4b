#pragma once

/// Text that leaves the daemon as bytes (file names, program arguments) is UTF-8.
namespace SystemEncoding {

/// Makes UTF-8 the encoding of file names and program arguments whatever the locale. Qt 6 does
/// so already; Qt 5 follows the locale, and with a C locale non-ASCII text would turn into "?".
/// Call once at start-up, before any file or process is used.
void useUtf8();

}  // namespace SystemEncoding
