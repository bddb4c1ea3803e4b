#include "base/SecretText.h"

#include <QRegularExpression>
#include <cstring>

#include "base/Json.h"
#include "kel/corvanta/daemons/Log.h"

namespace SecretText {

namespace {

// Lower-case words a secret key contains.
const char* const kSecretWords[] = {"pass", "psk", "secret"};

// Whether `text` holds one of the secret words in any case; no copy: every query passes here.
bool holdsSecretWord(const char* text, int size) {
    for (const char* word : kSecretWords) {
        const int length = static_cast<int>(std::strlen(word));
        for (int at = 0; at + length <= size; ++at) {
            if (qstrnicmp(text + at, word, static_cast<uint>(length)) == 0) return true;
        }
    }
    return false;
}

bool mayHoldSecret(const QByteArray& query) {
    // An escaped key ("pass\u0070hrase") names a secret too, once decoded.
    return query.contains('\\') || holdsSecretWord(query.constData(), query.size());
}

// Replaces every secret value under `value` by "***"; true if there was one.
bool hideSecrets(json_t* value) {
    bool found = false;
    if (json_is_object(value)) {
        const char* key = nullptr;
        json_t* member = nullptr;
        json_object_foreach(value, key, member) {
            if (isSecretKey(key)) {
                if (json_is_string(member)) {
                    kel::corvanta::daemons::Log::singleton()->addSecret(jsonToQString(member));
                }
                json_object_set_new(value, key, json_string("***"));
                found = true;
            } else {
                found = hideSecrets(member) || found;
            }
        }
    } else if (json_is_array(value)) {
        for (size_t i = 0; i < json_array_size(value); ++i) {
            found = hideSecrets(json_array_get(value, i)) || found;
        }
    }
    return found;
}

}  // namespace

bool isSecretKey(const char* key) {
    return holdsSecretWord(key, static_cast<int>(std::strlen(key)));
}

QByteArray forLog(const QByteArray& query) {
    if (!mayHoldSecret(query)) return query;
    json_error_t error;
    JsonPtr parsed(json_loadb(query.constData(), static_cast<size_t>(query.size()), 0, &error));
    if (parsed) {
        if (!hideSecrets(parsed.get())) return query;
        return jsonDump(parsed.get(), JSON_COMPACT | JSON_PRESERVE_ORDER);
    }
    // Not JSON: whatever follows a key that names a secret is not shown.
    static const QRegularExpression key(
        QStringLiteral("(pass|psk|secret)[^\"]*\"?\\s*:.*"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    QString text = QString::fromLatin1(query);
    const QRegularExpressionMatch match = key.match(text);
    if (!match.hasMatch()) return query;
    text.truncate(match.capturedStart() + match.capturedLength(1));
    return text.toLatin1() + "\"***";
}

}  // namespace SecretText
