/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The module's identity, its parameter and its export list, written once and
 * expanded by both hosts: the kernel glue turns them into MODULE_LICENSE,
 * MODULE_DESCRIPTION, module_param and EXPORT_SYMBOL(_GPL); the user-space
 * build turns them into a table that a modinfo-like listing prints.
 *
 * Plain C preprocessor only: no header is included here.
 */
#ifndef QUORVIN_PLATFORM_MODULE_DEF_H
#define QUORVIN_PLATFORM_MODULE_DEF_H

#define QUORVIN_MODULE_NAME        "Quorvin_AWB"
#define QUORVIN_MODULE_LICENSE     "Dual MIT/GPL"
#define QUORVIN_MODULE_DESCRIPTION "Quorvin USB Cameras: AutoWhiteBalance"

/* Load and unload functions: the module sets up and tears down nothing. */
#define QUORVIN_MODULE_INIT_FN usb_QuorvinUSB_init
#define QUORVIN_MODULE_EXIT_FN usb_QuorvinUSB_exit

/* P(name, type, default, permission, description) for every parameter. */
#define QUORVIN_MODULE_PARAMS(P) P(debug_awb, int, 0, 0444, "debug[0]:  21 for debug")

/*
 * Every exported operation, in interface order: E(symbol) for an ordinary
 * export, G(symbol) for a GPL-only one (17 ordinary, 4 GPL-only).
 */
#define QUORVIN_MODULE_EXPORTS(E, G)                                                               \
    E(Quorvin_GetAWBObjectSize)                                                                    \
    E(Quorvin_InitAWBObject)                                                                       \
    E(Quorvin_FreeAWBObject)                                                                       \
    G(Quorvin_ALCWBalance)                                                                         \
    G(Quorvin_ImageBalance)                                                                        \
    G(Quorvin_ColorProcessing)                                                                     \
    G(Quorvin_ImageProcessing)                                                                     \
    E(Quorvin_SetAutoAWB)                                                                          \
    E(Quorvin_SetAutoGain)                                                                         \
    E(Quorvin_SetAutoExposure)                                                                     \
    E(Quorvin_CLuminance_SetTarget)                                                                \
    E(Quorvin_CLuminance_SetCtrlSpeed)                                                             \
    E(Quorvin_Set_Gain)                                                                            \
    E(Quorvin_Set_Auto_Max_Gain)                                                                   \
    E(Quorvin_Set_Auto_Min_Gain)                                                                   \
    E(Quorvin_Set_Auto_Max_Shutter)                                                                \
    E(Quorvin_Set_Auto_Min_Shutter)                                                                \
    E(Quorvin_Set_Auto_Max_ShutterC)                                                               \
    E(Quorvin_Set_Auto_Min_ShutterC)                                                               \
    E(Quorvin_SetHighlightGuard)                                                                   \
    E(Quorvin_SetRobustAWB)

#endif /* QUORVIN_PLATFORM_MODULE_DEF_H */
