/* The smallest host: asks the installed library whether a stop marker is raised
   and what a thread without a connection receives. */
#include <stdio.h>

#include "Quillmar_ws.h"

int main(void) {
  HostString text = DataArrivalTCP();
  const int empty = text == NULL || text[0] == 0;
#ifdef _WIN32
  SysFreeString(text);
#else
  HostStringFree(text);
#endif
  printf("consumer: marker %s, first receive %s\n", stopwinsock() ? "raised" : "clear",
         empty ? "empty" : "not empty");
  return empty ? 0 : 1;
}
