/* An example detector library (--detector lib:PATH): two channels computed from the
 * point, and a reading that fails at every seventh point, to show how a failure is
 * reported. A lab's own library has the same five functions around its device's calls;
 * see docs/detector-library.md. */
#include <stdio.h>
#include <stdlib.h>

#include "platform/detector/detector_library.h"

struct example {
  int readings;
};

void* vxd_open(char* error, size_t error_size) {
  struct example* e = calloc(1, sizeof *e);
  if (!e) snprintf(error, error_size, "out of memory");
  return e;
}

int vxd_channels(void* handle) {
  (void)handle;
  return 2;
}

const char* vxd_channel_name(void* handle, int i) {
  (void)handle;
  return i == 0 ? "sum" : "count";
}

int vxd_read(void* handle, const struct vxd_point* p, double* values, int count, char* error, size_t error_size) {
  struct example* e = handle;
  if (count != 2) {
    snprintf(error, error_size, "asked for %d channels, has 2", count);
    return 1;
  }
  if (p->point % 7 == 0) {
    snprintf(error, error_size, "point %lld: every seventh point fails", p->point);
    return 1;
  }
  values[0] = p->read[0] + p->read[1] + p->read[2];
  values[1] = ++e->readings;
  return 0;
}

void vxd_close(void* handle) { free(handle); }
