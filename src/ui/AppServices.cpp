#include "ui/AppServices.h"

#include "serial/SerMisc.h"
#include "serial/SerSelCom.h"
#include "ui/AppError.h"
#include "ui/FormStyle.h"

#include <exception>
#include <mutex>

void InstallApplicationServices()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        // Before any window asks for a face.
        InstallFaces();
        SetApplicationExceptionHandler(
            [](std::exception_ptr error) { ShowApplicationError(ExceptionMessage(error)); });
        InstallComSelectForm();
    });
}
