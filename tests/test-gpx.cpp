#include "lodex-test-utils.h"

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  return g_test_run ();
}
