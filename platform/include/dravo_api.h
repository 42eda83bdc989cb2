/* Common-service library: configuration properties. */
#ifndef PLATFORM_DRAVO_API_H
#define PLATFORM_DRAVO_API_H

#ifdef __cplusplus
extern "C" {
#endif

/* 0 and a newly allocated value (free it); non-zero when the property is not available. */
int dravo_get_rixurl_configproperties(const char* name, char** value);

#ifdef __cplusplus
}
#endif

#endif
