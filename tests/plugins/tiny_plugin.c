/* A group processor written against kesgp.h alone, in C. It serves fixed
 * answers and counts its calls, so that tests can see when the server asks:
 *
 *   alice   -> Admins, Operators        Admins    -> alice
 *   bob     -> admins                   Operators -> alice, carol
 *   carol   -> Operators                Nobody    -> (empty list)
 *   dave    -> (empty list)             any other -> NULL
 *   any other user -> NULL
 *
 * kesgp_initialise returns the number in TINY_INITIALISE_RESULT (0 when the
 * variable is not set). The change indicator returns what tiny_set_changed
 * last stored, once, then 0 again.
 *
 * Compiled with -DTINY_OMIT_<EXPORT> it leaves that one export out, which
 * makes the broken plug-ins of the tests. */
#include <stdlib.h>
#include <string.h>

#include "kesgp.h"

static int changed_flag;
static int calls_initialise;
static int calls_timestamp;
static int calls_groups;
static int calls_users;
static int calls_delete;
static int calls_delete_null;
static int outstanding_lists;
static char last_user[64];

static char** make_list(const char* const* names, int count) {
  char** list = (char**)malloc(sizeof(char*) * (size_t)(count + 1));
  int i;
  if (list == NULL) return NULL;
  for (i = 0; i < count; ++i) {
    size_t length = strlen(names[i]) + 1;
    list[i] = (char*)malloc(length);
    memcpy(list[i], names[i], length);
  }
  list[count] = NULL;
  ++outstanding_lists;
  return list;
}

#ifndef TINY_OMIT_INITIALISE
KESGP_EXPORT int kesgp_initialise(void) {
  const char* result = getenv("TINY_INITIALISE_RESULT");
  ++calls_initialise;
  return result == NULL ? 0 : atoi(result);
}
#endif

#ifndef TINY_OMIT_TIMESTAMP
KESGP_EXPORT int kesgp_get_last_update_timestamp(void) {
  int result = changed_flag;
  ++calls_timestamp;
  changed_flag = 0;
  return result;
}
#endif

#ifndef TINY_OMIT_GROUPS
KESGP_EXPORT char** kesgp_get_groups_for_user(const char* user) {
  static const char* const alice[] = {"Admins", "Operators"};
  static const char* const bob[] = {"admins"};
  static const char* const carol[] = {"Operators"};
  ++calls_groups;
  strncpy(last_user, user, sizeof last_user - 1);
  if (strcmp(user, "alice") == 0) return make_list(alice, 2);
  if (strcmp(user, "bob") == 0) return make_list(bob, 1);
  if (strcmp(user, "carol") == 0) return make_list(carol, 1);
  if (strcmp(user, "dave") == 0) return make_list(NULL, 0);
  return NULL;
}
#endif

#ifndef TINY_OMIT_USERS
KESGP_EXPORT char** kesgp_get_users_in_group(const char* group) {
  static const char* const admins[] = {"alice"};
  static const char* const operators[] = {"alice", "carol"};
  ++calls_users;
  if (strcmp(group, "Admins") == 0) return make_list(admins, 1);
  if (strcmp(group, "Operators") == 0) return make_list(operators, 2);
  if (strcmp(group, "Nobody") == 0) return make_list(NULL, 0);
  return NULL;
}
#endif

#ifndef TINY_OMIT_DELETE
KESGP_EXPORT void kesgp_delete_group_list(char** list) {
  char** item;
  ++calls_delete;
  if (list == NULL) {
    ++calls_delete_null;
    return;
  }
  for (item = list; *item != NULL; ++item) free(*item);
  free(list);
  --outstanding_lists;
}
#endif

/* Test controls, looked up by the tests with dlsym. */
KESGP_EXPORT void tiny_set_changed(int value) {
  changed_flag = value;
}

/* Calls so far of "initialise", "timestamp", "groups", "users", "delete",
 * "delete_null", or the lists handed out and not yet deleted ("outstanding");
 * -1 for another name. */
KESGP_EXPORT int tiny_count(const char* what) {
  if (strcmp(what, "initialise") == 0) return calls_initialise;
  if (strcmp(what, "timestamp") == 0) return calls_timestamp;
  if (strcmp(what, "groups") == 0) return calls_groups;
  if (strcmp(what, "users") == 0) return calls_users;
  if (strcmp(what, "delete") == 0) return calls_delete;
  if (strcmp(what, "delete_null") == 0) return calls_delete_null;
  if (strcmp(what, "outstanding") == 0) return outstanding_lists;
  return -1;
}

/* The user of the latest kesgp_get_groups_for_user call. */
KESGP_EXPORT const char* tiny_last_user(void) {
  return last_user;
}
