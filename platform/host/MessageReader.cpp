// The reader of the messages that reach an application on its socket (MessageReader.h).
#include "MessageReader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tvhost {
namespace {
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexDigit(char c) {
    if (IsDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// What a one-letter escape after a backslash stands for, or '\0' for a letter that is none.
char Unescaped(char letter) {
    static const char LETTERS[] = "\"\\/bfnrt";
    static const char MEANT[] = "\"\\/\b\f\n\r\t";
    const char* at = letter ? strchr(LETTERS, letter) : nullptr;
    return at ? MEANT[at - LETTERS] : '\0';
}

void AppendUtf8(unsigned code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

}  // namespace

void MessageReader::SkipSpace() {
    while (m_at < m_end && (*m_at == ' ' || *m_at == '\t' || *m_at == '\n' || *m_at == '\r'))
        ++m_at;
}

bool MessageReader::Take(char c) {
    SkipSpace();
    if (m_at == m_end || *m_at != c)
        return false;
    ++m_at;
    return true;
}

char MessageReader::Next() {
    SkipSpace();
    return m_at == m_end ? '\0' : *m_at;
}

bool MessageReader::AtEnd() {
    SkipSpace();
    return m_at == m_end;
}

bool MessageReader::Open(char bracket) {
    return Take(bracket) && ++m_depth <= MAX_DEPTH;
}

bool MessageReader::Close(char bracket) {
    if (!Take(bracket))
        return false;
    --m_depth;
    return true;
}

bool MessageReader::Key(std::string* key) {
    SkipSpace();
    return String(key) && Take(':');
}

bool MessageReader::Value(Json::Value* out) {
    switch (Next()) {
        case '{':
            *out = Json::Value(Json::objectValue);
            return Object([&](const std::string& key) { return Value(&(*out)[key]); });
        case '[':
            *out = Json::Value(Json::arrayValue);
            return Array([&] { return Value(&out->append(Json::Value())); });
        case '"': {
            std::string text;
            if (!String(&text))
                return false;
            *out = Json::Value(text);
            return true;
        }
        case 't':
            *out = true;
            return Word("true");
        case 'f':
            *out = false;
            return Word("false");
        case 'n':
            *out = Json::Value();
            return Word("null");
        default:
            return Number(out);
    }
}

bool MessageReader::TextOrOther(std::string* text, bool* isText) {
    *isText = Next() == '"';
    if (!*isText)
        return Skip();
    text->clear();
    return String(text);
}

bool MessageReader::Skip() {
    std::string ignored;
    bool integer = false;
    switch (Next()) {
        case '{':
            return Object([&](const std::string&) { return Skip(); });
        case '[':
            return Array([&] { return Skip(); });
        case '"':
            return String(&ignored);
        case 't':
            return Word("true");
        case 'f':
            return Word("false");
        case 'n':
            return Word("null");
        default:
            return NumberText(&integer);
    }
}

bool MessageReader::Word(const char* word) {
    for (const char* c = word; *c; ++c, ++m_at) {
        if (m_at == m_end || *m_at != *c)
            return false;
    }
    return true;
}

// Four hex digits after "\u".
bool MessageReader::Hex4(unsigned* code) {
    if (m_end - m_at < 4)
        return false;
    *code = 0;
    for (int i = 0; i < 4; ++i, ++m_at) {
        int digit = HexDigit(*m_at);
        if (digit < 0)
            return false;
        *code = *code << 4 | static_cast<unsigned>(digit);
    }
    return true;
}

// After "\u": a character, a surrogate pair joined into one.
bool MessageReader::Escaped(std::string* out) {
    unsigned code = 0;
    if (!Hex4(&code) || (code >= 0xDC00 && code <= 0xDFFF))
        return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
        unsigned low = 0;
        if (m_end - m_at < 2 || m_at[0] != '\\' || m_at[1] != 'u')
            return false;
        m_at += 2;
        if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
            return false;
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(code, out);
    return true;
}

bool MessageReader::String(std::string* out) {
    if (m_at == m_end || *m_at != '"')
        return false;
    ++m_at;
    for (;;) {
        const char* run = m_at;
        while (m_at < m_end && *m_at != '"' && *m_at != '\\' &&
               static_cast<unsigned char>(*m_at) >= 0x20)
            ++m_at;
        out->append(run, static_cast<size_t>(m_at - run));
        if (m_at == m_end || static_cast<unsigned char>(*m_at) < 0x20)
            return false;
        if (*m_at++ == '"')
            return true;
        if (m_at == m_end)
            return false;
        char escape = *m_at++;
        if (escape == 'u') {
            if (!Escaped(out))
                return false;
            continue;
        }
        char unescaped = Unescaped(escape);
        if (unescaped == '\0')
            return false;
        out->push_back(unescaped);
    }
}

// A number as JSON writes it; *integer when it has neither a fraction nor an exponent.
bool MessageReader::NumberText(bool* integer) {
    auto digits = [this] {
        const char* first = m_at;
        while (m_at < m_end && IsDigit(*m_at))
            ++m_at;
        return m_at > first;
    };
    if (m_at < m_end && *m_at == '-')
        ++m_at;
    if (m_at < m_end && *m_at == '0' && m_at + 1 < m_end && IsDigit(m_at[1]))
        return false;
    if (!digits())
        return false;
    *integer = true;
    if (m_at < m_end && *m_at == '.') {
        ++m_at;
        if (!digits())
            return false;
        *integer = false;
    }
    if (m_at < m_end && (*m_at == 'e' || *m_at == 'E')) {
        ++m_at;
        if (m_at < m_end && (*m_at == '+' || *m_at == '-'))
            ++m_at;
        if (!digits())
            return false;
        *integer = false;
    }
    return true;
}

// As JsonCpp has it: an integer as a signed one, a positive one beyond its range as an unsigned
// one, one beyond 64 bits, a fraction or an exponent as a double.
bool MessageReader::Number(Json::Value* out) {
    const char* begin = m_at;
    bool integer = false;
    if (!NumberText(&integer))
        return false;
    bool negative = *begin == '-';
    uint64_t magnitude = 0;
    for (const char* d = begin + negative; integer && d < m_at; ++d) {
        auto digit = static_cast<uint64_t>(*d - '0');
        integer = magnitude <= (UINT64_MAX - digit) / 10;
        magnitude = magnitude * 10 + digit;
    }
    if (integer && !negative) {
        *out = magnitude <= static_cast<uint64_t>(Json::Value::maxLargestInt)
                   ? Json::Value(static_cast<Json::Int64>(magnitude))
                   : Json::Value(static_cast<Json::UInt64>(magnitude));
    } else if (integer && magnitude <= static_cast<uint64_t>(INT64_MAX) + 1) {
        *out = Json::Value(static_cast<Json::Int64>(0 - magnitude));
    } else {
        *out = Json::Value(strtod(std::string(begin, m_at).c_str(), nullptr));
    }
    return true;
}

bool ParseMessage(const std::string& text, Json::Value* value) {
    MessageReader reader(text);
    return reader.Value(value) && reader.AtEnd();
}

bool MessageKind(const std::string& text, std::string* kind) {
    MessageReader reader(text);
    bool hasKind = false;
    return reader.Object([&](const std::string& key) {
        return key == "kind" ? reader.TextOrOther(kind, &hasKind) : reader.Skip();
    }) && reader.AtEnd() &&
           hasKind;
}

}  // namespace tvhost
