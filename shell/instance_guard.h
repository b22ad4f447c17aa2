#pragma once

// True when another process whose name contains "Tavitty" is running. The
// running instance counts itself, so it takes two or more to answer true.
bool IsProceRunning();
