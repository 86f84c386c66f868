// tessvane: the SPF milter daemon.

#include "daemon/startup.h"

int main(int argc, char** argv) {
  return tessvane::daemon_main(argc, argv);
}
