#include "ui/desktop_program.h"

int main(int argc, char** argv) {
  return tulix::RunDesktopProgram(argc, argv);
}
