/* Settings store: typed values under slash-separated key names, with change notification. */
#ifndef PLATFORM_VCONF_H
#define PLATFORM_VCONF_H

#ifdef __cplusplus
extern "C" {
#endif

#define VCONF_OK 0
#define VCONF_ERROR (-1)

typedef enum {
    VCONF_TYPE_NONE = 0,
    VCONF_TYPE_STRING = 's',
    VCONF_TYPE_INT = 'i',
} vconf_value_type;

/* A snapshot of one key, valid only during the callback that receives it. */
typedef struct _keynode_t keynode_t;

typedef void (*vconf_callback_fn)(keynode_t* node, void* user_data);

/* A newly allocated copy of a string key's value (free it), or null when absent or not a string. */
char* vconf_get_str(const char* key);
/* 0 and the value, or -1 when the key is absent or not an integer. */
int vconf_get_int(const char* key, int* value);
int vconf_set_str(const char* key, const char* value);
int vconf_set_int(const char* key, int value);
int vconf_unset(const char* key);

/* The callback runs on the registering process's main loop (the default GLib context) after every
 * write of the key, by any process. One key may have several callbacks. */
int vconf_notify_key_changed(const char* key, vconf_callback_fn cb, void* user_data);
int vconf_ignore_key_changed(const char* key, vconf_callback_fn cb);

char* vconf_keynode_get_name(keynode_t* node);
int vconf_keynode_get_type(keynode_t* node);
/* The string value; null when the key is absent or holds an integer. Owned by the node. */
char* vconf_keynode_get_str(keynode_t* node);
int vconf_keynode_get_int(keynode_t* node);

#ifdef __cplusplus
}
#endif

#endif
