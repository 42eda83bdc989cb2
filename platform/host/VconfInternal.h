// The settings store's files, for the host device's own tools (provisioning, the console).
// These bypass fault rules; the change still reaches every watcher, since watchers follow the
// files themselves.
#pragma once

#include <string>

namespace tvhost {

// Non-empty, relative, no empty segments and no segment starting with '.' (which also keeps
// key names apart from the store's temporary files).
bool ValidKeyName(const std::string& key);
// ROOT/kdb/KEY.
std::string KeyPath(const std::string& key);

struct KeyValue {
    char type = 0;           // 's', 'i', or 0 when the key is absent or malformed
    bool malformed = false;  // the file is there but holds neither "s:TEXT" nor "i:N"
    std::string str;
    int num = 0;
};
// What a key file holds: "s:" and any text, or "i:" and a plain decimal int.
KeyValue ParseKeyFile(const std::string& content);
KeyValue ReadKey(const std::string& key);
// type 's' or 'i'; `value` is the text after the colon.
bool StoreKey(const std::string& key, char type, const std::string& value);
bool RemoveKey(const std::string& key);

}  // namespace tvhost
