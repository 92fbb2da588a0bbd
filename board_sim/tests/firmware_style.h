#pragma once
// Exercises the platform API in firmware style; returns a value to keep calls alive.
extern "C" int fw_style_exercise(void);
