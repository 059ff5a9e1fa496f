// The relay output layer: the board's four-channel relay. This system has no relay hardware
// behind it, so every operation fails at once without touching a device.
#pragma once

// Prepares the outputs. -1: there are none.
int init_gpio();
// Switches one channel on or off. -1: there is no output to switch.
int relay_4ch_on(int channel);
int relay_4ch_off(int channel);
