// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * zelk_board: the board's flash driver as a kernel module, for the kernel board.
 *
 * Every flash device is a misc device /dev/zelk/flash_<name>, the NVRAM store
 * /dev/zelk/nvram0; their contents live in kernel memory. A control node
 * (/dev/zelk_control) lets the guest's agent load nodes, fault rules, error texts
 * and settings, read contents back and take the request log.
 *
 * The driver serves exactly what the tool expects of the board's driver: reads of
 * any length, writes of at most 16 bytes that AND into the flash cells, erase to 0xFF,
 * the identity record, the error-text request and both environment stores. One
 * mutex serialises every request, as the board's driver does; timing and power cuts
 * happen while it is held.
 */
#include <linux/delay.h>
#include <linux/fdtable.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/sched/signal.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#include "zelk_ioctl.h"
#include "zelk_board_control.h"

#define ZB_MAX_NODES 32
#define ZB_LOG_MAX (64u << 20)

struct zb_node {
	struct miscdevice misc;
	char name[ZB_NAME_SIZE];
	char nodename[ZB_NAME_SIZE + 8];
	bool flash;
	int env;
	struct zelk_device_info info;
	u8 *data;
	size_t size;
	bool changed;
};

static DEFINE_MUTEX(board_lock);
static struct zb_node *nodes[ZB_MAX_NODES];
static struct zb_rule *rules;
static unsigned int rule_count;
static struct zb_error_record *errors;
static unsigned int error_count;
static struct zb_conf conf;

static char *log_buffer;
static size_t log_used, log_capacity;
static DECLARE_WAIT_QUEUE_HEAD(log_wait);

/* ---- request log ---- */

struct zb_line {
	char text[2048]; /* a set with both fields escaped at 4 bytes per byte fits */
	size_t used;
};

/* The line of the request being served and its arguments: used under board_lock only. */
static struct zb_line log_line, request_args;

static __printf(2, 3) void line_add(struct zb_line *line, const char *format, ...)
{
	va_list ap;
	int n;

	if (line->used >= sizeof(line->text))
		return;
	va_start(ap, format);
	n = vsnprintf(line->text + line->used, sizeof(line->text) - line->used, format, ap);
	va_end(ap);
	line->used = min(line->used + (size_t)max(n, 0), sizeof(line->text) - 1);
}

/* Text fields: quoted, '"' and '\' escaped, bytes outside 0x20-0x7E as \xHH. */
static void line_quoted(struct zb_line *line, const char *text, size_t size)
{
	size_t i;

	line_add(line, "\"");
	for (i = 0; i < size; i++) {
		unsigned char c = text[i];

		if (c == '"' || c == '\\')
			line_add(line, "\\%c", c);
		else if (c < 0x20 || c >= 0x7f)
			line_add(line, "\\x%02x", c);
		else
			line_add(line, "%c", c);
	}
	line_add(line, "\"");
}

struct zb_fault {
	bool fired;
	int id;
	int error;
	long long short_to;
	bool power_cut;
	long long partial;
};

/* One line per request, under the board lock: lines of threads never mix. */
static void log_request(struct zb_node *node, const char *op, struct zb_line *args,
			long long result, const struct zb_fault *fault)
{
	struct zb_line *line = &log_line;
	size_t need;

	if (!conf.log_on)
		return;
	line->used = 0;
	line_add(line, "pid=%d tid=%d node=%s op=%s", task_tgid_vnr(current),
		 task_pid_vnr(current), node->name, op);
	if (args && args->used)
		line_add(line, " %s", args->text);
	line_add(line, " result=%lld", result < 0 ? -1LL : result);
	if (result < 0) /* a power cut's line has no error: the call never returns */
		line_add(line, " errno=%lld", fault->power_cut ? 0 : -result);
	if (fault->fired)
		line_add(line, " fault=%d", fault->id);
	if (fault->power_cut)
		line_add(line, " powercut");
	line_add(line, "\n");

	need = log_used + line->used;
	if (need > ZB_LOG_MAX)
		return;
	if (need > log_capacity) {
		size_t capacity = max_t(size_t, need, max_t(size_t, 2 * log_capacity, 65536));
		char *bigger = kvmalloc(capacity, GFP_KERNEL);

		if (!bigger)
			return;
		if (log_used)
			memcpy(bigger, log_buffer, log_used);
		kvfree(log_buffer);
		log_buffer = bigger;
		log_capacity = capacity;
	}
	memcpy(log_buffer + log_used, line->text, line->used);
	log_used += line->used;
	wake_up_interruptible(&log_wait);
}

/* ---- faults ---- */

static u64 splitmix64(u64 x)
{
	x += 0x9E3779B97F4A7C15ull;
	x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
	x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
	return x ^ (x >> 31);
}

static bool rule_fires(const struct zb_rule *rule)
{
	switch (rule->trigger) {
	case ZB_NTH:
		return rule->hits == rule->n;
	case ZB_FROM:
		return rule->hits >= rule->n;
	case ZB_PROB:
		return (splitmix64(rule->seed ^ splitmix64((u64)rule->hits)) >> 11) <
		       rule->threshold;
	default:
		return true;
	}
}

/* Counts the call against every rule it matches; the first that fires decides. */
static struct zb_fault check_faults(struct zb_node *node, const char *op, u32 code, bool with_code)
{
	struct zb_fault out = { .short_to = -1 };
	unsigned int i;

	for (i = 0; i < rule_count; i++) {
		struct zb_rule *rule = &rules[i];

		if (strcmp(rule->node, "*") != 0 && strcmp(rule->node, node->name) != 0)
			continue;
		if (strcmp(rule->op, op) != 0)
			continue;
		if (rule->has_code && (!with_code || rule->code != code))
			continue;
		rule->hits++;
		if (out.fired || !rule_fires(rule))
			continue;
		out.fired = true;
		out.id = rule->id;
		out.error = rule->error;
		out.short_to = rule->short_to;
		out.power_cut = rule->powercut;
		out.partial = rule->partial;
	}
	return out;
}

/* The power goes: the whole process dies on its way out of this call, and nothing
 * it still has in flight reaches the board (see zb_lock). */
static long power_cut(void)
{
	send_sig(SIGKILL, current, 1);
	return -EINTR;
}

static void pause_ns(long long ns)
{
	if (ns <= 0)
		return;
	if (ns >= 20 * NSEC_PER_MSEC)
		msleep(div_u64(ns, NSEC_PER_MSEC));
	else
		usleep_range(div_u64(ns, NSEC_PER_USEC), div_u64(ns, NSEC_PER_USEC) + 10);
}

static void program_delay(size_t bytes)
{
	pause_ns(conf.program_ns_per_byte * (long long)bytes);
}

/* The board lock; a process that is being killed (by a power cut of one of its
 * threads, or a signal) gets no more requests through. */
static int zb_lock(void)
{
	if (mutex_lock_killable(&board_lock))
		return -EINTR;
	if (fatal_signal_pending(current)) {
		mutex_unlock(&board_lock);
		return -EINTR;
	}
	return 0;
}

/* ---- node requests ---- */

static struct zb_node *node_of(struct file *file)
{
	return container_of(file->private_data, struct zb_node, misc);
}

static void flags_text(struct zb_line *line, unsigned int flags)
{
	static const struct {
		unsigned int bit;
		const char *name;
	} names[] = {
		{ O_SYNC, "O_SYNC" },	      { O_DSYNC, "O_DSYNC" },	    { O_CLOEXEC, "O_CLOEXEC" },
		{ O_CREAT, "O_CREAT" },	      { O_EXCL, "O_EXCL" },	    { O_TRUNC, "O_TRUNC" },
		{ O_APPEND, "O_APPEND" },     { O_NONBLOCK, "O_NONBLOCK" }, { O_NOCTTY, "O_NOCTTY" },
		{ O_DIRECTORY, "O_DIRECTORY" }, { O_NOFOLLOW, "O_NOFOLLOW" },
	};
	static const char *const modes[] = { "O_RDONLY", "O_WRONLY", "O_RDWR", "O_ACCMODE" };
	unsigned int rest = flags & ~O_ACCMODE & ~O_LARGEFILE & ~FMODE_NONOTIFY;
	size_t i;

	line_add(line, "flags=%s", modes[flags & O_ACCMODE]);
	for (i = 0; i < ARRAY_SIZE(names); i++) {
		if ((rest & names[i].bit) == names[i].bit) {
			line_add(line, "|%s", names[i].name);
			rest &= ~names[i].bit;
		}
	}
	if (rest)
		line_add(line, "|0x%x", rest);
}

/* The descriptor open() is about to return: reserved in the table, not yet filled; its
 * close-on-exec bit is already set for O_CLOEXEC, which never reaches a driver otherwise. */
static int pending_descriptor(bool *cloexec)
{
	struct files_struct *files = current->files;
	struct fdtable *fdt;
	unsigned int fd;
	int found = -1;

	spin_lock(&files->file_lock);
	fdt = files_fdtable(files);
	for (fd = 0; fd < fdt->max_fds; fd++) {
		if (test_bit(fd, fdt->open_fds) && !rcu_access_pointer(fdt->fd[fd])) {
			found = fd;
			*cloexec = close_on_exec(fd, fdt);
			break;
		}
	}
	spin_unlock(&files->file_lock);
	return found;
}

static int zb_open(struct inode *inode, struct file *file)
{
	struct zb_node *node = node_of(file);
	struct zb_line *args = &request_args;
	struct zb_fault fault;
	bool cloexec = false;
	long result = 0;
	int descriptor;

	if (zb_lock())
		return -EINTR;
	args->used = 0;
	descriptor = pending_descriptor(&cloexec);
	flags_text(args, file->f_flags | (cloexec ? O_CLOEXEC : 0));
	fault = check_faults(node, "open", 0, false);
	if (fault.fired && fault.power_cut) {
		log_request(node, "open", args, -1, &fault);
		mutex_unlock(&board_lock);
		return power_cut();
	}
	if (fault.fired && fault.error)
		result = -fault.error;
	else if ((file->f_flags & O_ACCMODE) == O_ACCMODE)
		result = -EINVAL;
	log_request(node, "open", args, result ? result : descriptor, &fault);
	mutex_unlock(&board_lock);
	if (result == 0)
		file->f_mode |= FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE;
	return result;
}

static ssize_t zb_read(struct file *file, char __user *buffer, size_t count, loff_t *ppos)
{
	struct zb_node *node = node_of(file);
	struct zb_line *args = &request_args;
	struct zb_fault fault;
	loff_t pos = *ppos;
	long result;

	if (zb_lock())
		return -EINTR;
	args->used = 0;
	line_add(args, "off=%lld len=%zu", pos, count);
	fault = check_faults(node, "read", 0, false);
	if (fault.fired && fault.power_cut) {
		log_request(node, "read", args, -1, &fault);
		mutex_unlock(&board_lock);
		return power_cut();
	}
	if (fault.fired && fault.error) {
		result = -fault.error;
	} else if (!(file->f_mode & FMODE_READ)) {
		result = -EBADF;
	} else if (pos < 0) {
		result = -EINVAL;
	} else {
		size_t n = pos >= node->size ? 0 : min_t(size_t, count, node->size - pos);

		if (fault.fired && fault.short_to >= 0)
			n = min_t(size_t, n, fault.short_to);
		if (n && copy_to_user(buffer, node->data + pos, n)) {
			result = -EFAULT;
		} else {
			result = n;
			*ppos = pos + n;
		}
	}
	log_request(node, "read", args, result, &fault);
	mutex_unlock(&board_lock);
	return result;
}

static ssize_t zb_write(struct file *file, const char __user *buffer, size_t count, loff_t *ppos)
{
	struct zb_node *node = node_of(file);
	struct zb_line *args = &request_args;
	struct zb_fault fault;
	u8 cells[ZELK_WRITE_MAX];
	loff_t pos = *ppos;
	long result = 0;
	size_t i;

	if (zb_lock())
		return -EINTR;
	args->used = 0;
	line_add(args, "off=%lld len=%zu", pos, count);
	fault = check_faults(node, "write", 0, false);
	if (fault.fired && fault.error && !fault.power_cut) {
		result = -fault.error;
	} else if (!(file->f_mode & FMODE_WRITE)) {
		result = -EBADF;
	} else if (count > ZELK_WRITE_MAX) {
		result = -EINVAL;
	} else if (pos < 0) {
		result = -EINVAL;
	} else if (count == 0) {
		result = 0;
#ifdef ZB_BREAK_BOUND
	} else if (pos > node->size) { /* broken on purpose: a write may run past the end */
#else
	} else if (pos + count > node->size) {
#endif
		result = -ENOSPC; /* nothing is programmed past the end, not even in part */
	} else if (copy_from_user(cells, buffer, count)) {
		result = -EFAULT;
	} else {
#ifdef ZB_BREAK_BOUND
		count = min_t(size_t, count, node->size - pos);
#endif
		/* NOR programming only clears bits; NVRAM takes the bytes as given. */
		for (i = 0; i < count; i++)
			if (node->flash)
				cells[i] &= node->data[pos + i];
		program_delay(count);
		if (fault.fired && fault.power_cut) {
			memcpy(node->data + pos, cells, min_t(size_t, fault.partial, count));
			node->changed = true;
			log_request(node, "write", args, -1, &fault);
			mutex_unlock(&board_lock);
			return power_cut();
		}
		memcpy(node->data + pos, cells, count);
		node->changed = true;
		result = count;
#ifndef ZB_BREAK_ADVANCE
		*ppos = pos + count;
#endif
	}
	if (fault.fired && fault.power_cut) {
		log_request(node, "write", args, -1, &fault);
		mutex_unlock(&board_lock);
		return power_cut();
	}
	log_request(node, "write", args, result, &fault);
	mutex_unlock(&board_lock);
	return result;
}

static loff_t zb_llseek(struct file *file, loff_t offset, int whence)
{
	static const char *const names[] = { "SET", "CUR", "END" };
	struct zb_node *node = node_of(file);
	struct zb_line *args = &request_args;
	struct zb_fault fault;
	loff_t base, target;
	long long result;

	if (zb_lock())
		return -EINTR;
	args->used = 0;
	line_add(args, "off=%lld whence=", offset);
	if (whence >= 0 && whence <= 2)
		line_add(args, "%s", names[whence]);
	else
		line_add(args, "%d", whence);
	fault = check_faults(node, "lseek", 0, false);
	if (fault.fired && fault.power_cut) {
		log_request(node, "lseek", args, -1, &fault);
		mutex_unlock(&board_lock);
		return power_cut();
	}
	base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file->f_pos :
	       whence == SEEK_END ? (loff_t)node->size : -1;
	target = base + offset;
	if (fault.fired && fault.error)
		result = -fault.error;
	else if (base < 0 || target < 0 || target > node->size)
		result = -EINVAL; /* a node is positioned within its device only */
	else
		result = file->f_pos = target;
	log_request(node, "lseek", args, result, &fault);
	mutex_unlock(&board_lock);
	return result;
}

/* ---- environment stores ---- */

static u32 crc32_zlib(const u8 *data, size_t size)
{
	u32 crc = ~0u;
	size_t i;
	int bit;

	for (i = 0; i < size; i++) {
		crc ^= data[i];
		for (bit = 0; bit < 8; bit++)
			crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
	}
	return ~crc;
}

/* The next entry from *pos: from offset 4 to the first empty entry or the end of the
 * device; an unterminated last entry is dropped. */
static bool next_entry(const u8 *image, size_t size, size_t *pos, const u8 **entry, size_t *length)
{
	const u8 *end;

	if (*pos >= size)
		return false;
	end = memchr(image + *pos, 0, size - *pos);
	if (!end || end == image + *pos)
		return false;
	*entry = image + *pos;
	*length = end - *entry;
	*pos += *length + 1;
	return true;
}

static bool entry_has_key(const u8 *entry, size_t length, const char *key, size_t key_length)
{
	const u8 *eq = memchr(entry, '=', length);

	return eq && eq - entry == key_length && memcmp(entry, key, key_length) == 0;
}

/* Appends to a store image being built; false when it would not fit. */
static bool put_bytes(u8 *image, size_t size, size_t *used, const void *data, size_t length)
{
	if (length > size - *used)
		return false;
	memcpy(image + *used, data, length);
	*used += length;
	return true;
}

/* The store of `old` with key set to value (value NULL: cleared) into `image`. */
static bool build_env(const u8 *old, u8 *image, size_t size, const char *key, size_t key_length,
		      const char *value, size_t value_length, bool clear)
{
	size_t pos = 4, used = 4, length;
	const u8 *entry;
	bool placed = false;
	u32 crc;

	if (size < 4)
		return false;
	while (!clear && next_entry(old, size, &pos, &entry, &length)) {
		if (entry_has_key(entry, length, key, key_length)) {
			if (placed)
				continue;
			placed = true;
			if (!put_bytes(image, size, &used, key, key_length) ||
			    !put_bytes(image, size, &used, "=", 1) ||
			    !put_bytes(image, size, &used, value, value_length) ||
			    !put_bytes(image, size, &used, "", 1))
				return false;
		} else if (!put_bytes(image, size, &used, entry, length) ||
			   !put_bytes(image, size, &used, "", 1)) {
			return false;
		}
	}
	if (!clear && !placed &&
	    (!put_bytes(image, size, &used, key, key_length) ||
	     !put_bytes(image, size, &used, "=", 1) ||
	     !put_bytes(image, size, &used, value, value_length) ||
	     !put_bytes(image, size, &used, "", 1)))
		return false;
	if (!put_bytes(image, size, &used, "", 1))
		return false;
	memset(image + used, ZELK_ERASED_BYTE, size - used);
	crc = crc32_zlib(image + 4, size - 4);
	image[0] = crc >> 24;
	image[1] = crc >> 16;
	image[2] = crc >> 8;
	image[3] = crc;
	return true;
}

static bool is_env_code(u32 code)
{
	return code == FLASH_IOC_ENV_SET || code == FLASH_IOC_ENV_GET || code == FLASH_IOC_ENV_CLEAR ||
	       code == NVRAM_IOC_ENV_SET || code == NVRAM_IOC_ENV_GET || code == NVRAM_IOC_ENV_CLEAR;
}

static long env_request(struct zb_node *node, struct file *file, u32 code, void __user *argument,
			const struct zb_fault *fault, struct zb_line *args)
{
	bool set = code == FLASH_IOC_ENV_SET || code == NVRAM_IOC_ENV_SET;
	bool get = code == FLASH_IOC_ENV_GET || code == NVRAM_IOC_ENV_GET;
	struct zelk_env_request record;
	size_t key_length = 0, value_length = 0, pos = 4, length;
	const u8 *entry, *found = NULL;
	size_t found_length = 0;
	u8 *image;

	if (set || get) {
		if (!argument || copy_from_user(&record, argument, sizeof(record)))
			return -EFAULT;
		key_length = strnlen(record.key, ZELK_ENV_FIELD_SIZE);
		line_add(args, " key=");
		line_quoted(args, record.key, key_length);
	}
	if (set) {
		value_length = strnlen(record.value, ZELK_ENV_FIELD_SIZE);
		line_add(args, " value=");
		line_quoted(args, record.value, value_length);
	}
	if (!get && !(file->f_mode & FMODE_WRITE))
		return -EBADF;
	if (get) {
		/* The last entry of the key wins, as for a reader of the image. */
		while (next_entry(node->data, node->size, &pos, &entry, &length)) {
			if (entry_has_key(entry, length, record.key, key_length)) {
				found = entry + key_length + 1;
				found_length = length - key_length - 1;
			}
		}
		if (!found)
			return 0;
		memset(record.value, 0, sizeof(record.value));
		memcpy(record.value, found, min_t(size_t, found_length, ZELK_ENV_FIELD_SIZE));
		if (copy_to_user((u8 __user *)argument + offsetof(struct zelk_env_request, value),
				 record.value, sizeof(record.value)))
			return -EFAULT;
		return 1;
	}
	/* A key with "=" could never be found again. */
	if (set && memchr(record.key, '=', key_length))
		return -EINVAL;
	image = kvmalloc(node->size ? node->size : 1, GFP_KERNEL);
	if (!image)
		return -ENOMEM;
	if (!build_env(node->data, image, node->size, record.key, key_length, record.value,
		       value_length, !set)) {
		kvfree(image);
		return -ENOSPC;
	}
	program_delay(node->size);
	if (fault->fired && fault->power_cut) {
		/* Erased, with the first bytes of the new image programmed. */
		size_t k = min_t(size_t, fault->partial, node->size);

		memset(node->data, ZELK_ERASED_BYTE, node->size);
		memcpy(node->data, image, k);
		node->changed = true;
		kvfree(image);
		return power_cut();
	}
	memcpy(node->data, image, node->size);
	node->changed = true;
	kvfree(image);
	return 0;
}

static long error_text_request(void __user *argument)
{
	struct zelk_error_text record;
	unsigned int i;

	if (!argument || copy_from_user(&record, argument, sizeof(record)))
		return -EFAULT;
	for (i = 0; i < error_count; i++) {
		if (errors[i].code != record.code)
			continue;
		memset(record.text, 0, sizeof(record.text));
		memcpy(record.text, errors[i].text,
		       min_t(size_t, errors[i].length, sizeof(record.text) - 1));
		if (copy_to_user(argument, &record, sizeof(record)))
			return -EFAULT;
		break;
	}
	return 0; /* an unknown code leaves the caller's text as it was */
}

static long zb_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	struct zb_node *node = node_of(file);
	void __user *argument = (void __user *)arg;
	struct zb_line *args = &request_args;
	struct zb_fault fault;
	u32 code = cmd;
	bool modifies = code == FLASH_IOC_ERASE || code == FLASH_IOC_ENV_SET ||
			code == FLASH_IOC_ENV_CLEAR || code == NVRAM_IOC_ENV_SET ||
			code == NVRAM_IOC_ENV_CLEAR;
	bool flash_env = code == FLASH_IOC_ENV_SET || code == FLASH_IOC_ENV_GET ||
			 code == FLASH_IOC_ENV_CLEAR;
	long result;

	if (zb_lock())
		return -EINTR;
	args->used = 0;
	line_add(args, "code=0x%08x", code);
	fault = check_faults(node, "ioctl", code, true);
	if (code == ZELK_IOC_ERROR_TEXT && argument) {
		s32 errcode;

		if (!get_user(errcode, (s32 __user *)argument))
			line_add(args, " errcode=%d", errcode);
	}
	/* A power cut during a request that changes the device lands part-way through
	 * it; any other request never completes. */
	if (fault.fired && fault.power_cut) {
		log_request(node, "ioctl", args, -1, &fault);
		if (!modifies) {
			mutex_unlock(&board_lock);
			return power_cut();
		}
	}
	if (fault.fired && fault.error && !fault.power_cut) {
		/* The record's key goes into the log even when the call fails. */
		if ((code == FLASH_IOC_ENV_SET || code == FLASH_IOC_ENV_GET ||
		     code == NVRAM_IOC_ENV_SET || code == NVRAM_IOC_ENV_GET) && argument) {
			char key[ZELK_ENV_FIELD_SIZE];

			if (!copy_from_user(key, argument, sizeof(key))) {
				line_add(args, " key=");
				line_quoted(args, key, strnlen(key, sizeof(key)));
			}
		}
		result = -fault.error;
	} else if (code == ZELK_IOC_ERROR_TEXT) {
		result = error_text_request(argument);
	} else if (code == FLASH_IOC_INFO && node->flash) {
		if (!argument)
			result = -EFAULT;
		else
#ifdef ZB_BREAK_RECORD
			/* broken on purpose: the record one field short */
			result = copy_to_user(argument, &node->info.device_id,
					      sizeof(node->info) - 4) ? -EFAULT : 0;
#else
			result = copy_to_user(argument, &node->info, sizeof(node->info)) ? -EFAULT : 0;
#endif
	} else if (code == FLASH_IOC_ERASE && node->flash) {
		if (!(file->f_mode & FMODE_WRITE)) {
			result = -EBADF;
		} else {
			pause_ns(conf.erase_ms * NSEC_PER_MSEC);
			if (fault.fired && fault.power_cut) {
				memset(node->data, ZELK_ERASED_BYTE,
				       min_t(size_t, fault.partial, node->size));
				node->changed = true;
				mutex_unlock(&board_lock);
				return power_cut();
			}
			memset(node->data, ZELK_ERASED_BYTE, node->size);
			node->changed = true;
			result = 0;
		}
	} else if (is_env_code(code) && node->env == (flash_env ? ZB_ENV_FLASH : ZB_ENV_NVRAM)) {
		result = env_request(node, file, code, argument, &fault, args);
	} else {
		result = -ENOTTY;
	}
	if (fault.fired && fault.power_cut) {
		mutex_unlock(&board_lock); /* refused before it changed anything: the power still goes */
		return power_cut();
	}
	log_request(node, "ioctl", args, result, &fault);
	mutex_unlock(&board_lock);
	return result;
}

/* close(): every close of a descriptor, not the implicit ones of an exiting process. */
static int zb_flush(struct file *file, fl_owner_t id)
{
	struct zb_node *node = node_of(file);
	struct zb_fault fault;
	int result = 0;

	if (current->flags & PF_EXITING)
		return 0;
	if (zb_lock())
		return -EINTR;
	fault = check_faults(node, "close", 0, false);
	if (fault.fired && fault.power_cut) {
		log_request(node, "close", NULL, -1, &fault);
		mutex_unlock(&board_lock);
		return power_cut();
	}
	if (fault.fired && fault.error)
		result = -fault.error; /* the descriptor goes all the same */
	log_request(node, "close", NULL, result, &fault);
	mutex_unlock(&board_lock);
	return result;
}

static int zb_mmap(struct file *file, struct vm_area_struct *vma)
{
	return -ENODEV;
}

static int zb_fsync(struct file *file, loff_t start, loff_t end, int datasync)
{
	return 0; /* the board writes through */
}

static const struct file_operations node_fops = {
	.owner = THIS_MODULE,
	.open = zb_open,
	.read = zb_read,
	.write = zb_write,
	.llseek = zb_llseek,
	.unlocked_ioctl = zb_ioctl,
	.flush = zb_flush,
	.mmap = zb_mmap,
	.fsync = zb_fsync,
};

/* ---- control node ---- */

static struct zb_node *find_node(const char *name)
{
	int i;

	for (i = 0; i < ZB_MAX_NODES; i++)
		if (nodes[i] && strcmp(nodes[i]->name, name) == 0)
			return nodes[i];
	return NULL;
}

static void remove_node(struct zb_node *node)
{
	int i;

	for (i = 0; i < ZB_MAX_NODES; i++)
		if (nodes[i] == node)
			nodes[i] = NULL;
	misc_deregister(&node->misc);
	kvfree(node->data);
	kfree(node);
}

static long set_node(const struct zb_node_record *record)
{
	struct zb_node *node = find_node(record->name);
	u8 *data;
	int i, slot = -1;

	if (record->size > (64u << 20))
		return -EFBIG;
	data = kvmalloc(record->size ? record->size : 1, GFP_KERNEL);
	if (!data)
		return -ENOMEM;
	if (record->size && copy_from_user(data, u64_to_user_ptr(record->data), record->size)) {
		kvfree(data);
		return -EFAULT;
	}
	if (!node) {
		for (i = 0; i < ZB_MAX_NODES && slot < 0; i++)
			if (!nodes[i])
				slot = i;
		node = slot < 0 ? NULL : kzalloc(sizeof(*node), GFP_KERNEL);
		if (!node) {
			kvfree(data);
			return slot < 0 ? -ENOSPC : -ENOMEM;
		}
		strscpy(node->name, record->name, sizeof(node->name));
		snprintf(node->nodename, sizeof(node->nodename), "zelk/%s", node->name);
		node->misc.minor = MISC_DYNAMIC_MINOR;
		node->misc.name = node->name;
		node->misc.nodename = node->nodename;
		node->misc.fops = &node_fops;
		node->misc.mode = 0666;
		i = misc_register(&node->misc);
		if (i) {
			kvfree(data);
			kfree(node);
			return i;
		}
		nodes[slot] = node;
	}
	kvfree(node->data);
	node->data = data;
	node->size = record->size;
	node->flash = record->flash;
	node->env = record->env;
	memset(&node->info, 0, sizeof(node->info));
	node->info.manufacturer_id = record->manufacturer_id;
	node->info.device_id = record->device_id;
	node->info.size_kbits = record->size_kbits;
	memcpy(node->info.part_name, record->part_name, sizeof(node->info.part_name));
	node->info.part_name[sizeof(node->info.part_name) - 1] = 0;
	node->changed = false;
	return 0;
}

static long get_node(struct zb_node_record __user *user)
{
	struct zb_node_record record;
	struct zb_node *node;

	if (copy_from_user(&record, user, sizeof(record)))
		return -EFAULT;
	record.name[sizeof(record.name) - 1] = 0;
	node = find_node(record.name);
	if (!node)
		return -ENOENT;
	if (!record.data) { /* only its size and whether it changed */
		record.size = node->size;
		record.changed = node->changed;
		return copy_to_user(user, &record, sizeof(record)) ? -EFAULT : 0;
	}
	if (record.size < node->size)
		return -EOVERFLOW;
	if (copy_to_user(u64_to_user_ptr(record.data), node->data, node->size))
		return -EFAULT;
	record.size = node->size;
	record.changed = node->changed;
	node->changed = false;
	return copy_to_user(user, &record, sizeof(record)) ? -EFAULT : 0;
}

static void *table_copy(const struct zb_table *table, size_t item, unsigned int limit)
{
	void *items;

	if (table->count > limit)
		return ERR_PTR(-E2BIG);
	items = kvcalloc(table->count ? table->count : 1, item, GFP_KERNEL);
	if (!items)
		return ERR_PTR(-ENOMEM);
	if (copy_from_user(items, u64_to_user_ptr(table->items), table->count * item)) {
		kvfree(items);
		return ERR_PTR(-EFAULT);
	}
	return items;
}

static long control_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	void __user *argument = (void __user *)arg;
	struct zb_node_record record;
	struct zb_table table;
	struct zb_node *node;
	void *items;
	long result = 0;
	unsigned int i;

	mutex_lock(&board_lock);
	switch (cmd) {
	case ZB_CTL_SET_NODE:
	case ZB_CTL_REMOVE_NODE:
		if (copy_from_user(&record, argument, sizeof(record))) {
			result = -EFAULT;
			break;
		}
		record.name[sizeof(record.name) - 1] = 0;
		if (cmd == ZB_CTL_SET_NODE) {
			result = set_node(&record);
		} else {
			node = find_node(record.name);
			if (node)
				remove_node(node);
			else
				result = -ENOENT;
		}
		break;
	case ZB_CTL_GET_NODE:
		result = get_node(argument);
		break;
	case ZB_CTL_SET_RULES:
	case ZB_CTL_SET_ERRORS:
		if (copy_from_user(&table, argument, sizeof(table))) {
			result = -EFAULT;
			break;
		}
		items = cmd == ZB_CTL_SET_RULES ?
				table_copy(&table, sizeof(struct zb_rule), ZB_MAX_RULES) :
				table_copy(&table, sizeof(struct zb_error_record), ZB_MAX_ERRORS);
		if (IS_ERR(items)) {
			result = PTR_ERR(items);
			break;
		}
		if (cmd == ZB_CTL_SET_RULES) {
			kvfree(rules);
			rules = items;
			rule_count = table.count;
			for (i = 0; i < rule_count; i++) {
				rules[i].node[ZB_NAME_SIZE - 1] = 0;
				rules[i].op[ZB_OP_SIZE - 1] = 0;
			}
		} else {
			kvfree(errors);
			errors = items;
			error_count = table.count;
		}
		break;
	case ZB_CTL_GET_HITS:
		if (copy_from_user(&table, argument, sizeof(table))) {
			result = -EFAULT;
			break;
		}
		for (i = 0; i < rule_count && i < table.count && !result; i++)
			if (put_user(rules[i].hits, (s64 __user *)u64_to_user_ptr(table.items) + i))
				result = -EFAULT;
		if (!result)
			result = rule_count;
		break;
	case ZB_CTL_SET_CONF:
		if (copy_from_user(&conf, argument, sizeof(conf)))
			result = -EFAULT;
		break;
	default:
		result = -ENOTTY;
	}
	mutex_unlock(&board_lock);
	return result;
}

static ssize_t control_read(struct file *file, char __user *buffer, size_t count, loff_t *ppos)
{
	size_t n;

	mutex_lock(&board_lock);
	n = min(count, log_used);
	if (n && copy_to_user(buffer, log_buffer, n)) {
		mutex_unlock(&board_lock);
		return -EFAULT;
	}
	memmove(log_buffer, log_buffer + n, log_used - n);
	log_used -= n;
	mutex_unlock(&board_lock);
	return n;
}

static __poll_t control_poll(struct file *file, poll_table *wait)
{
	poll_wait(file, &log_wait, wait);
	return READ_ONCE(log_used) ? EPOLLIN | EPOLLRDNORM : 0;
}

static const struct file_operations control_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = control_ioctl,
	.read = control_read,
	.poll = control_poll,
	.llseek = noop_llseek,
};

static struct miscdevice control_device = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "zelk_control",
	.fops = &control_fops,
	.mode = 0600,
};

static int __init zb_init(void)
{
	return misc_register(&control_device);
}

static void __exit zb_exit(void)
{
	int i;

	misc_deregister(&control_device);
	for (i = 0; i < ZB_MAX_NODES; i++)
		if (nodes[i])
			remove_node(nodes[i]);
	kvfree(rules);
	kvfree(errors);
	kvfree(log_buffer);
}

module_init(zb_init);
module_exit(zb_exit);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("zelk board flash driver for the kernel board");
