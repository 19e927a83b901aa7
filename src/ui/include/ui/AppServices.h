#pragma once

// The process-wide services through which the layers below reach the user
// interface, installed in this one place at start-up and kept until the
// process ends; no window installs or clears any of them:
// - the windows' faces and default font (InstallFaces);
// - the application's error display for failures that no handler caught
//   (serial: SetApplicationExceptionHandler), shown by ShowApplicationError;
// - the port selection dialog, for a port numbered 0 (serial:
//   SetComSelectDialog, through InstallComSelectForm).
// Whoever makes the application object calls it on that object's thread:
// TProgram, the windows' test runner, ui-preview. Only the first call does
// anything.
void InstallApplicationServices();
