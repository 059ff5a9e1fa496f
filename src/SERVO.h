// Relay outputs.
#pragma once

int init_gpio();
