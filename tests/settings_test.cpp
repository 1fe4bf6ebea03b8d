#include <gtest/gtest.h>

#include "settings.h"
