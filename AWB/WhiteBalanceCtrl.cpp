#include "WhiteBalanceCtrl.h"
