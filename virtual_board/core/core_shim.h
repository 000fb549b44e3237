/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * What the board core takes from its surroundings: fixed-width integers, error
 * numbers, open flags and the string functions. The kernel module and the preload
 * library each bring their own; the core uses nothing else.
 */
#ifndef BOARD_CORE_SHIM_H
#define BOARD_CORE_SHIM_H

#ifdef __KERNEL__
#include <linux/errno.h>
#include <linux/fcntl.h>
#include <linux/fs.h> /* SEEK_SET, SEEK_CUR, SEEK_END */
#include <linux/string.h>
#include <linux/types.h>
#else
#include <errno.h>
#include <fcntl.h> /* also SEEK_SET, SEEK_CUR, SEEK_END */
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#endif

#endif /* BOARD_CORE_SHIM_H */
