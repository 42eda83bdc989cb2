// Reading the JSON text of the messages that reach an application on its socket. A message comes
// in with every event the application handles, and JsonCpp's reader, made for any document with
// comments and error reports, costs more than the rest of a launch request's handling: this one
// reads JSON as it is, at most MAX_DEPTH deep, and builds only what its caller keeps.
#pragma once

#include <json/json.h>

#include <string>

namespace tvhost {

class MessageReader {
  public:
    static constexpr int MAX_DEPTH = 64;

    explicit MessageReader(const std::string& text)
        : m_at(text.data()), m_end(text.data() + text.size()) {}

    // An object: `member`, called as bool(const std::string& key), is handed each key in turn
    // and reads that member's value with one of the calls below. False when the text is not such
    // an object or `member` gave up.
    template <typename Member>
    bool Object(Member&& member) {
        if (!Open('{'))
            return false;
        if (Close('}'))
            return true;
        do {
            std::string key;
            if (!Key(&key) || !member(key))
                return false;
        } while (Take(','));
        return Close('}');
    }
    // An array: `item`, called as bool(), reads each element in turn.
    template <typename Item>
    bool Array(Item&& item) {
        if (!Open('['))
            return false;
        if (Close(']'))
            return true;
        do {
            if (!item())
                return false;
        } while (Take(','));
        return Close(']');
    }
    // Any value, built into *value.
    bool Value(Json::Value* value);
    // Any value: a text goes into *text with *isText true; anything else is passed over.
    bool TextOrOther(std::string* text, bool* isText);
    // Any value, passed over.
    bool Skip();
    // The first character of the next value, or '\0' at the end.
    char Next();
    // Nothing but white space is left.
    bool AtEnd();

  private:
    void SkipSpace();
    bool Take(char c);
    // The bracket that begins an object or an array, no deeper than MAX_DEPTH.
    bool Open(char bracket);
    bool Close(char bracket);
    // A member's key and the colon after it.
    bool Key(std::string* key);
    bool Word(const char* word);
    bool Hex4(unsigned* code);
    bool Escaped(std::string* out);
    bool String(std::string* out);
    bool NumberText(bool* integer);
    bool Number(Json::Value* out);

    const char* m_at;
    const char* m_end;
    int m_depth = 0;
};

// A message read whole into *value: one JSON value and white space, numbers typed as ParseJson
// types them. No comments.
bool ParseMessage(const std::string& text, Json::Value* value);
// The text of a message's "kind": false when the message is not a JSON object with a text kind.
bool MessageKind(const std::string& text, std::string* kind);

}  // namespace tvhost
