#include "LuminanceCtrl.h"
