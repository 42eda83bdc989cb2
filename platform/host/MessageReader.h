// Reading the JSON text of the messages that reach an application on its socket. A message comes
// in with every event the application handles, and JsonCpp's reader, made for any document with
// comments and error reports, costs more than the rest of a launch request's handling: this one
// reads JSON as it is, at most MAX_DEPTH deep, and builds only what its caller keeps.
#pragma once

#include <json/json.h>

#include <functional>
#include <string>

namespace tvhost {

class MessageReader {
  public:
    static constexpr int MAX_DEPTH = 64;

    explicit MessageReader(const std::string& text)
        : m_at(text.data()), m_end(text.data() + text.size()) {}

    // An object: `member` is handed each key in turn and reads that member's value with one of
    // the calls below. False when the text is not such an object or `member` gave up.
    bool Object(const std::function<bool(const std::string& key)>& member);
    // An array: `item` reads each element in turn.
    bool Array(const std::function<bool()>& item);
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
