/* Package manager: information on installed packages. */
#ifndef PLATFORM_PACKAGE_MANAGER_H
#define PLATFORM_PACKAGE_MANAGER_H

#ifdef __cplusplus
extern "C" {
#endif

#define PKGMGR_OK 0
#define PKGMGR_ERR_NO_SUCH_PACKAGE (-2)
#define PKGMGR_ERR_INVALID_PARAMETER (-22)
#define PKGMGR_ERR_IO (-5)

typedef struct package_info_s* package_info_h;

int package_manager_get_package_info(const char* package_id, package_info_h* info);
/* A newly allocated version text (free it). */
int package_info_get_version(package_info_h info, char** version);
int package_info_destroy(package_info_h info);

#ifdef __cplusplus
}
#endif

#endif
