// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The control node (/dev/zelk_control, zelk_board_control.h): the guest's agent loads
 * nodes, fault rules, error texts and settings, reads contents and hit counts back and
 * takes the request log. Part of zelk_board.c's translation unit.
 */

static struct zb_node* find_node(const char* name) {
    int i;

    for (i = 0; i < ZB_MAX_NODES; i++)
        if (nodes[i] && strcmp(nodes[i]->name, name) == 0)
            return nodes[i];
    return NULL;
}

static void remove_node(struct zb_node* node) {
    int i;

    for (i = 0; i < ZB_MAX_NODES; i++)
        if (nodes[i] == node)
            nodes[i] = NULL;
    misc_deregister(&node->misc);
    kvfree(node->core.data);
    kfree(node);
}

static struct zb_node* new_node(const char* name, long* error) {
    struct zb_node* node;
    int i, slot = -1;

    for (i = 0; i < ZB_MAX_NODES && slot < 0; i++)
        if (!nodes[i])
            slot = i;
    node = slot < 0 ? NULL : kzalloc(sizeof(*node), GFP_KERNEL);
    if (!node) {
        *error = slot < 0 ? -ENOSPC : -ENOMEM;
        return NULL;
    }
    strscpy(node->name, name, sizeof(node->name));
    snprintf(node->nodename, sizeof(node->nodename), "zelk/%s", node->name);
    node->misc.minor = MISC_DYNAMIC_MINOR;
    node->misc.name = node->name;
    node->misc.nodename = node->nodename;
    node->misc.fops = &node_fops;
    node->misc.mode = 0666;
    *error = misc_register(&node->misc);
    if (*error) {
        kfree(node);
        return NULL;
    }
    nodes[slot] = node;
    return node;
}

static long set_node(const struct zb_node_record* record) {
    struct zb_node* node = find_node(record->name);
    struct zc_node* core;
    long error = 0;
    u8* data;

    if (record->size > (64u << 20))
        return -EFBIG;
    data = kvmalloc(record->size ? record->size : 1, GFP_KERNEL);
    if (!data)
        return -ENOMEM;
    if (record->size && copy_from_user(data, u64_to_user_ptr(record->data), record->size)) {
        kvfree(data);
        return -EFAULT;
    }
    if (!node)
        node = new_node(record->name, &error);
    if (!node) {
        kvfree(data);
        return error;
    }
    core = &node->core;
    kvfree(core->data);
    memset(core, 0, sizeof(*core));
    core->name = node->name;
    core->known = 1;
    core->data = data;
    core->size = record->size;
    core->flash = record->flash;
    core->env = record->env == ZB_ENV_FLASH   ? ZC_ENV_FLASH
                : record->env == ZB_ENV_NVRAM ? ZC_ENV_NVRAM
                                              : ZC_ENV_NONE;
    core->info.manufacturer_id = record->manufacturer_id;
    core->info.device_id = record->device_id;
    core->info.size_kbits = record->size_kbits;
    memcpy(core->info.part_name, record->part_name, sizeof(core->info.part_name));
    core->info.part_name[sizeof(core->info.part_name) - 1] = 0;
    return 0;
}

static long get_node(struct zb_node_record __user* user) {
    struct zb_node_record record;
    struct zb_node* node;

    if (copy_from_user(&record, user, sizeof(record)))
        return -EFAULT;
    record.name[sizeof(record.name) - 1] = 0;
    node = find_node(record.name);
    if (!node)
        return -ENOENT;
    if (record.data) { /* else only its size and whether it changed */
        if (record.size < node->core.size)
            return -EOVERFLOW;
        if (copy_to_user(u64_to_user_ptr(record.data), node->core.data, node->core.size))
            return -EFAULT;
    }
    record.size = node->core.size;
    record.changed = node->core.changed;
    if (record.data)
        node->core.changed = 0;
    return copy_to_user(user, &record, sizeof(record)) ? -EFAULT : 0;
}

static void* table_copy(const struct zb_table* table, size_t item, unsigned int limit) {
    void* items;

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

/* The rules as the core counts them; hits restart from the records. */
static long set_rules(const struct zb_table* table) {
    struct zb_rule* records = table_copy(table, sizeof(*records), ZB_MAX_RULES);
    struct zc_rule* rules;
    unsigned int i;

    if (IS_ERR(records))
        return PTR_ERR(records);
    rules = kvcalloc(table->count ? table->count : 1, sizeof(*rules), GFP_KERNEL);
    if (!rules) {
        kvfree(records);
        return -ENOMEM;
    }
    for (i = 0; i < table->count; i++) {
        struct zb_rule* from = &records[i];
        struct zc_rule* to = &rules[i];

        strscpy(to->node, from->node, sizeof(to->node));
        strscpy(to->op, from->op, sizeof(to->op));
        to->has_code = from->has_code;
        to->code = from->code;
        to->trigger = from->trigger;
        to->id = from->id;
        to->n = from->n;
        to->seed = from->seed;
        to->threshold = from->threshold;
        to->error = from->error;
        to->power_cut = from->powercut;
        to->silent = from->silent;
        to->short_to = from->short_to;
        to->partial = from->partial;
        to->hits = from->hits;
    }
    kvfree(records);
    kvfree(zb_board.rules);
    zb_board.rules = rules;
    zb_board.rule_count = table->count;
    return 0;
}

static long get_hits(const struct zb_table* table) {
    unsigned int i;

    for (i = 0; i < zb_board.rule_count && i < table->count; i++)
        if (put_user(zb_board.rules[i].hits, (s64 __user*)u64_to_user_ptr(table->items) + i))
            return -EFAULT;
    return zb_board.rule_count;
}

static long set_errors(const struct zb_table* table) {
    struct zb_error_record* items = table_copy(table, sizeof(*items), ZB_MAX_ERRORS);

    if (IS_ERR(items))
        return PTR_ERR(items);
    kvfree(errors);
    errors = items;
    error_count = table->count;
    return 0;
}

static long control_ioctl(struct file* file, unsigned int cmd, unsigned long arg) {
    void __user* argument = (void __user*)arg;
    struct zb_node_record record;
    struct zb_table table;
    struct zb_conf conf;
    struct zb_node* node;
    long result = -EFAULT;

    mutex_lock(&board_lock);
    switch (cmd) {
    case ZB_CTL_SET_NODE:
    case ZB_CTL_REMOVE_NODE:
        if (copy_from_user(&record, argument, sizeof(record)))
            break;
        record.name[sizeof(record.name) - 1] = 0;
        node = find_node(record.name);
        if (cmd == ZB_CTL_SET_NODE) {
            result = set_node(&record);
        } else if (node) {
            remove_node(node);
            result = 0;
        } else {
            result = -ENOENT;
        }
        break;
    case ZB_CTL_GET_NODE:
        result = get_node(argument);
        break;
    case ZB_CTL_SET_RULES:
    case ZB_CTL_SET_ERRORS:
    case ZB_CTL_GET_HITS:
        if (copy_from_user(&table, argument, sizeof(table)))
            break;
        result = cmd == ZB_CTL_SET_RULES    ? set_rules(&table)
                 : cmd == ZB_CTL_SET_ERRORS ? set_errors(&table)
                                            : get_hits(&table);
        break;
    case ZB_CTL_SET_CONF:
        if (copy_from_user(&conf, argument, sizeof(conf)))
            break;
        zb_board.conf.log_on = conf.log_on;
        zb_board.conf.program_ns_per_byte = conf.program_ns_per_byte;
        zb_board.conf.erase_ms = conf.erase_ms;
        result = 0;
        break;
    default:
        result = -ENOTTY;
    }
    mutex_unlock(&board_lock);
    return result;
}

static ssize_t control_read(struct file* file, char __user* buffer, size_t count, loff_t* ppos) {
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

static __poll_t control_poll(struct file* file, poll_table* wait) {
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

static int __init zb_init(void) {
    return misc_register(&control_device);
}

static void __exit zb_exit(void) {
    int i;

    misc_deregister(&control_device);
    for (i = 0; i < ZB_MAX_NODES; i++)
        if (nodes[i])
            remove_node(nodes[i]);
    kvfree(zb_board.rules);
    kvfree(errors);
    kvfree(log_buffer);
}

module_init(zb_init);
module_exit(zb_exit);
