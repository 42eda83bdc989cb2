/* Where an absolute path of the television's file system lives on this device. */
#ifndef PLATFORM_TV_PATH_H
#define PLATFORM_TV_PATH_H

#ifdef __cplusplus
extern "C" {
#endif

/* A newly allocated copy of the device path for the absolute path `path` (the caller frees it):
 * the path itself on a television, DEVICE_ROOT/fs/path on the host. Null when `path` is null. */
char* tv_path_get(const char* path);

#ifdef __cplusplus
}
#endif

#endif
