#include <gtest/gtest.h>

#include "textutil.h"
