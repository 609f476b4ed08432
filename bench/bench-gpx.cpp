/* Placeholder until the reader and writer land. */

int
main (void)
{
  return 0;
}
