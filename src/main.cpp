// morvane's entry: the banner, then the application.
#include <iostream>

#include "app.h"

static const char version[] = "0.1.1.334";
static const char build_stamp[] = "12:07:32 29-03-2023";

int main(int argc, char** argv) {
  std::cout << "MORVANE ver. " << version << ", " << build_stamp << std::endl;
  return application(argc, argv);
}
