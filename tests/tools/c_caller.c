/* A C program that links libkesnotify through its public header alone:
 * c_caller PORT USER TEXT sends TEXT to USER at the server on 127.0.0.1:PORT
 * and prints the result and the user's status. */
#include <stdio.h>
#include <stdlib.h>

#include "kesnotify.h"

int main(int argc, char** argv) {
  target_notification_tag user;
  int result;
  if (argc != 4) return 2;
  user.type = KESNOTIFY_USER;
  user.name = argv[2];
  user.status = KESNOTIFY_NOT_PROCESSED;
  user.next = NULL;
  result =
      SendNotification("127.0.0.1", atoi(argv[1]), &user, KESNOTIFY_ICON_INFO, "C", argv[3], 0);
  printf("result %d status %d\n", result, (int)user.status);
  return 0;
}
