// No relay outputs exist in this system; each operation reports failure.
#include "SERVO.h"

int init_gpio() { return -1; }
int relay_4ch_on(int) { return -1; }
int relay_4ch_off(int) { return -1; }
