/* Loads plugin.dll as an application loads a plug-in and calls its export. */
#include <stdio.h>
#include <windows.h>

typedef int(__stdcall* CheckFn)(void);

int main(void) {
  HMODULE plugin = LoadLibraryA("plugin.dll");
  if (plugin == NULL) {
    fprintf(stderr, "plugin_host: LoadLibrary failed with error %lu\n", GetLastError());
    return 1;
  }
  CheckFn check = (CheckFn)(void (*)(void))GetProcAddress(plugin, "PluginCheck");
  const int result = check != NULL ? check() : -1;
  FreeLibrary(plugin);
  printf("plugin_host: plug-in answered %d\n", result);
  return result == 42 ? 0 : 1;
}
