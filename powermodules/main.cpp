// Pellion: the power-module manager of the main board.
#include "pellion.h"

int main() { return pellion::PellionMain(); }
