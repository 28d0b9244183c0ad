/*
 * kesgp.h - the group-processor plug-in interface of the Kestrun job server.
 *
 * A group processor is a shared library that tells the server which groups a
 * user belongs to and which users belong to a group. The administrator names
 * it in kestrun.conf:
 *
 *     groupprocessor /opt/kestrun/lib/kesgp_unix.so
 *
 * The library must export the five functions below with C linkage, under
 * exactly these names; nothing else is looked up. The header is plain C (it
 * compiles as C89 and as C++) and depends on nothing else of Kestrun, so a
 * plug-in can be built against this file alone:
 *
 *     cc -shared -fPIC -o mygroups.so mygroups.c
 *
 * Texts are NUL-terminated byte strings; names are compared byte for byte
 * (case matters). The encoding is whatever the site uses for user and group
 * names (normally UTF-8).
 *
 * Group lists. Both getters return a "group list": an array of pointers to
 * texts that ends with a NULL slot, or NULL ("none") when the name is unknown.
 * An empty list (a non-NULL array whose first slot is NULL) also means no
 * names. The plug-in owns the memory: the server copies what it needs and
 * then hands the very array back to kesgp_delete_group_list, exactly once.
 * The server also calls kesgp_delete_group_list(NULL) after a getter returned
 * NULL, so that function must accept NULL.
 *
 * Calling sequence. The server resolves the five functions every time it reads
 * kestrun.conf, and calls kesgp_initialise once, during its first read, before
 * any other function. If kesgp_initialise does not return 0 the server never
 * asks the plug-in about groups (every group-restricted job is refused, every
 * group request answers no names). The library is never unloaded.
 * A reload of kestrun.conf that names a different library binds that library
 * without calling its kesgp_initialise, so the other four functions must
 * cope with never having been initialised (answering NULL or 0 is enough).
 *
 * Threads. The server serialises its calls: at most one of these functions
 * runs at any time, though successive calls may come from different threads.
 * A plug-in therefore needs no locking of its own for the server's sake.
 */
#ifndef KESGP_H
#define KESGP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Marks the five functions for export even when the plug-in is compiled with
 * -fvisibility=hidden. */
#if defined(__GNUC__) || defined(__clang__)
#define KESGP_EXPORT __attribute__((visibility("default")))
#else
#define KESGP_EXPORT
#endif

/* Prepares the plug-in (opens files, connects to a directory...). Called once,
 * before any other function. Returns 0 on success; any other value is logged
 * by the server ("kesgp_initialise in Group Processor "<path>" returns <n>")
 * and leaves group checks switched off. */
KESGP_EXPORT int kesgp_initialise(void);

/* Change indicator, called before each request the server accepts. Returns 0
 * when the group data has not changed since the previous call, any other
 * value when it may have; the server then fetches each user's groups again at
 * that user's next check. Reporting a change too often costs only lookups;
 * missing one leaves stale permissions in the server's cache. */
KESGP_EXPORT int kesgp_get_last_update_timestamp(void);

/* The groups of `user`, in the plug-in's order, as a group list; NULL when the
 * user is unknown. `user` is never NULL. */
KESGP_EXPORT char** kesgp_get_groups_for_user(const char* user);

/* The users of `group`, in the plug-in's order, as a group list; NULL when the
 * group is unknown. `group` is never NULL. */
KESGP_EXPORT char** kesgp_get_users_in_group(const char* group);

/* Releases a list returned by either getter. `list` may be NULL. */
KESGP_EXPORT void kesgp_delete_group_list(char** list);

/* Pointer types of the five functions, for a host that resolves them by name
 * (dlsym). */
typedef int (*kesgp_initialise_fn)(void);
typedef int (*kesgp_get_last_update_timestamp_fn)(void);
typedef char** (*kesgp_get_groups_for_user_fn)(const char* user);
typedef char** (*kesgp_get_users_in_group_fn)(const char* group);
typedef void (*kesgp_delete_group_list_fn)(char** list);

#ifdef __cplusplus
}
#endif

#endif /* KESGP_H */
