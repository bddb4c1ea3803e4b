#pragma once

#include <jansson.h>

#include <QByteArray>
#include <QString>
#include <memory>
#include <string>

/// Owns one reference to a jansson value.
struct JsonDeleter {
    void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

/// Text of a JSON string value read as UTF-8 (a null QString for anything that is not a string).
QString jsonToQString(const json_t* value);

/// A new JSON string holding `text` as UTF-8 (never null).
json_t* jsonFromQString(const QString& text);

/// Serialises `value` with `flags`; empty on failure.
QByteArray jsonDump(const json_t* value, size_t flags);

/// True for a JSON integer or real.
inline bool jsonIsNumber(const json_t* value) { return value && json_is_number(value); }

/// The text of `jsonDump(value, 0x420)` (compact, every "/" as "\/") with "<", ">" and "&" also
/// escaped (\u003c, \u003e, \u0026), so that no reply holds markup: the reply of every request
/// goes through it.
QByteArray jsonDumpCompact(const json_t* value);

/// One value inside a reply whose compact text was made before: written as `text`, which must be
/// what jsonAppendCompact writes for it.
struct JsonRendered {
    const json_t* value = nullptr;
    const std::string* text = nullptr;
};
/// The same text as `jsonDumpCompact`, appended to `out` (whose buffer may be reused).
void jsonAppendCompact(std::string& out, const json_t* value, const JsonRendered& rendered = {});
