/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The module as a user-space program sees it: its identity, its parameter and
 * its export list (expanded from platform/module_def.h, the same list the
 * kernel build expands), and a loader that plays insmod/rmmod.
 *
 * Loading and unloading are meant for one thread at a time, as the kernel's
 * module loader serialises them.
 */
#ifndef QUORVIN_PLATFORM_USER_MODULE_USER_H
#define QUORVIN_PLATFORM_USER_MODULE_USER_H

#ifdef __cplusplus
extern "C" {
#endif

/* The module parameter: "debug[0]:  21 for debug". Nothing reads it. */
extern int debug_awb;

/* How many more calls of quorvin_vector_begin grant vector registers before
 * the rest refuse them, as the kernel does in a context that may not use
 * them (for the tests of the word fallback). Negative: always granted. */
extern int quorvin_user_vector_grants;

typedef enum {
    QUORVIN_EXPORT_PLAIN = 0, /* usable by every module */
    QUORVIN_EXPORT_GPL = 1    /* usable only by modules with a GPL-compatible licence */
} QuorvinExportKind;

typedef struct QuorvinExportInfo {
    const char* name;
    QuorvinExportKind kind;
} QuorvinExportInfo;

typedef struct QuorvinParamInfo {
    const char* name;
    const char* type;        /* as the kernel names it: "int" */
    const char* description; /* as written, blanks included */
    unsigned perm;           /* permission of its entry under /sys/module */
    int default_value;
    int* value; /* the variable itself */
} QuorvinParamInfo;

typedef struct QuorvinModuleInfo {
    const char* name;
    const char* license;
    const char* description;
    const QuorvinParamInfo* params;
    int param_count;
    const QuorvinExportInfo* exports; /* in interface order */
    int export_count;
} QuorvinModuleInfo;

const QuorvinModuleInfo* quorvin_module_info(void);

/*
 * Loads the module as insmod would: args is the parameter string a loader
 * passes ("debug_awb=21", several separated by blanks, values in double quotes
 * allowed; null or empty for none). Integer values take the kernel's forms:
 * decimal, 0x hexadecimal or 0 octal, an optional sign, one trailing newline.
 * '-' and '_' are the same in names. The parameters are set, then the load
 * function runs.
 *
 * Returns 0, or a negative errno with nothing changed: -EEXIST when already
 * loaded, -ENOENT for an unknown parameter, -EINVAL for a missing or malformed
 * value, -ERANGE for a value out of range.
 */
int quorvin_module_load(const char* args);

/* Runs the unload function and puts the parameters back to their defaults.
 * Returns 0, or -ENOENT when the module is not loaded. */
int quorvin_module_unload(void);

/* Non-zero while the module is loaded. */
int quorvin_module_is_loaded(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_PLATFORM_USER_MODULE_USER_H */
