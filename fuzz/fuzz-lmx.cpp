/* Placeholder until the reader lands. */

#include <cstddef>
#include <cstdint>

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  return 0;
}
