/* kesnotify: ask a Kestrun server to show a balloon notification to groups
 * of users, to the users of client machines or to single users.
 *
 * Link with -lkesnotify. The functions are safe to call from several threads
 * at once (each call has its own connection); they never end the calling
 * process.
 */
#ifndef KESNOTIFY_H
#define KESNOTIFY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Kinds of target. */
#define KESNOTIFY_GROUP 1  /* every docked member of a group */
#define KESNOTIFY_CLIENT 2 /* every user docked on a client machine */
#define KESNOTIFY_USER 3   /* a user, wherever docked */

/* Statuses the server reports per target (5 until a reply arrives). */
#define KESNOTIFY_OKAY 1
#define KESNOTIFY_CLIENT_NOT_FOUND 2
#define KESNOTIFY_USER_NOT_FOUND 3
#define KESNOTIFY_NO_SUCH_GROUP 4
#define KESNOTIFY_NOT_PROCESSED 5

/* Icons. */
#define KESNOTIFY_ICON_NONE 0
#define KESNOTIFY_ICON_INFO 1
#define KESNOTIFY_ICON_WARNING 2
#define KESNOTIFY_ICON_ERROR 3

/* One target; a list in the order the targets are given. The caller owns the
 * records and the names; `status` is written by SendNotification. A target
 * with a null or empty name is not sent and keeps its status. */
typedef struct target_notification_tag {
  int32_t type;     /* KESNOTIFY_GROUP, KESNOTIFY_CLIENT or KESNOTIFY_USER */
  const char* name; /* group name, client node name or user name */
  int32_t status;   /* set from the server's reply */
  struct target_notification_tag* next;
} target_notification_tag;

/* Connects to `server` (a host name or dotted address) at `port`, asks it to
 * show the balloon (icon 0 to 3, title, text; `immediate` not 0 shows it at
 * once instead of queuing it) and stores each target's status. Returns 0 on
 * success. Returns 1 when no connection could be made (after printing
 * "Could not connect to Kestrun Server - ..." on standard error, without a
 * line feed) or when the reply was not a success or could not be read. */
int SendNotification(const char* server, int port, target_notification_tag* targets, int icon,
                     const char* title, const char* text, int immediate);

/* SendNotification that also tells the two failures apart: *connected (when
 * not null) is set to 1 once the server accepted the connection, else 0. */
int SendNotificationEx(const char* server, int port, target_notification_tag* targets, int icon,
                       const char* title, const char* text, int immediate, int* connected);

#ifdef __cplusplus
}
#endif

#endif /* KESNOTIFY_H */
