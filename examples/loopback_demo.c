/* Two threads of one process talk through the library on loopback: the main
   thread serves, a second thread connects. Each thread has its own connection. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "Quillmar_ws.h"

static int16_t port = (int16_t)47017;

static void Pause(long milliseconds) {
  struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static HostString Wide(const char* ascii) {
  char16_t units[128];
  size_t n = strlen(ascii);
  for (size_t i = 0; i < n && i < 128; ++i) units[i] = (unsigned char)ascii[i];
  return HostStringAlloc(units, (uint32_t)n);
}

static HostString Packed(const char* ascii) {
  return HostStringAllocBytes(ascii, (uint32_t)strlen(ascii));
}

static void Send(const char* who, const char* ascii) {
  HostString text = Wide(ascii);
  printf("%s sent \"%s\": %d bytes\n", who, ascii, SendTCP(text));
  HostStringFree(text);
}

/* Polls until text arrives and prints it; frees every returned string. */
static void ReceiveOne(const char* who) {
  for (int i = 0; i < 300; ++i) {
    HostString text = DataArrivalTCP();
    uint32_t units = HostStringByteLen(text) / 2;
    if (units > 0) {
      printf("%s received \"", who);
      for (uint32_t k = 0; k < units; ++k) putchar(text[k] < 128 ? text[k] : '?');
      printf("\"\n");
      HostStringFree(text);
      return;
    }
    HostStringFree(text);
    Pause(10);
  }
  printf("%s received nothing\n", who);
}

static void* Client(void* unused) {
  (void)unused;
  HostString host = Packed("127.0.0.1");
  const int connected = ConnectTCP(host, port) != 0;
  HostStringFree(host);
  printf("client: %s\n", connected ? "connected" : "connect failed");
  if (connected) {
    ReceiveOne("client");
    Send("client", "hello, server");
  }
  printf("client: CloseTCP returned %d\n", CloseTCP());
  return NULL;
}

int main(int argc, char** argv) {
  if (argc > 1) port = (int16_t)atoi(argv[1]);
  if (!ListenerTCP(port)) {
    printf("server: cannot listen on port %d\n", (uint16_t)port);
    return 1;
  }
  printf("server: listening on port %d\n", (uint16_t)port);

  pthread_t client;
  pthread_create(&client, NULL, Client, NULL);

  int accepted = 0;
  for (int i = 0; i < 500 && !accepted; ++i) {
    accepted = ConnectRequestTCP() != 0;
    if (!accepted) Pause(10);
  }
  printf("server: %s\n", accepted ? "peer accepted" : "no peer came");
  /* The server speaks first: the first receive pass of each connection start
     discards what has already arrived. */
  if (accepted) {
    Send("server", "hello, client");
    ReceiveOne("server");
  }
  pthread_join(client, NULL);
  printf("server: CloseTCP returned %d\n", CloseTCP());
  return accepted ? 0 : 1;
}
