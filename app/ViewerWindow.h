#pragma once

// True while a top-level window of the viewer's class "Zorvalind" exists.
bool IsViewerRunning() noexcept;
