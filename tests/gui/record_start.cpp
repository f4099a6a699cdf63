// The follow-up command of the GUI tests: a windowless program that writes
// where it was started from (its current directory) and where it lies (its
// own path) into started-from.txt in its current directory, then ends. The
// tests read it to see that the command ran from the target directory and
// that the copy inside the target, not one beside the self-extractor, ran.
#include <windows.h>

#include <stdio.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char directory[MAX_PATH] = "";
  char self[MAX_PATH] = "";
  GetCurrentDirectoryA(sizeof directory, directory);
  GetModuleFileNameA(nullptr, self, sizeof self);
  FILE* out = fopen("started-from.txt", "w");
  if (out == nullptr) return 1;
  fprintf(out, "%s\n%s\n", directory, self);
  fclose(out);
  return 0;
}
