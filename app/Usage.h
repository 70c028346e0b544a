#pragma once

// The switches and exit codes, in an information box.
void ShowUsage() noexcept;
