// A try/catch, compiled with exceptions.
int risky(int value);

int glue_breach(int value) {
  try {
    return risky(value);
  } catch (...) {
    return -1;
  }
}
