// morvane's entry: the banner, then the application.
#include <iostream>

#include "app.h"

// MORVANE_VERSION comes from the build: project(morvane VERSION ...) in CMakeLists.txt.
static const char version[] = MORVANE_VERSION;
static const char build_stamp[] = "12:07:32 29-03-2023";

int main(int argc, char** argv) {
  std::cout << "MORVANE ver. " << version << ", " << build_stamp << std::endl;
  return application(argc, argv);
}
