// Everything the user is ever shown: one caption, six boxes.
#ifndef TRQ_FLOW_MESSAGE_BOXES_H
#define TRQ_FLOW_MESSAGE_BOXES_H

#include "device/device.h"

struct MessageBoxText {
    const WCHAR* text;
    UINT flags;
};

#define TRQ_CAPTION TEXT("TRQ Uninstall")

const MessageBoxText kLookupFailureBox = {
    TEXT("Unable to read the directory where the application is installed."),
    MB_SETFOREGROUND | MB_ICONERROR | MB_OK};

const MessageBoxText kNotRemovedBox = {
    TEXT("The application has not been completely removed from your PDA."),
    MB_SETFOREGROUND | MB_ICONERROR | MB_OK};

const MessageBoxText kConfirmationBox = {
    TEXT("This application will completely remove the Vantrelle Pocket PC Edition from you PDA. "
         "Would you like to continue?"),
    MB_SETFOREGROUND | MB_ICONQUESTION | MB_YESNOCANCEL};

const MessageBoxText kSettingsQuestionBox = {
    TEXT("Do you want to remove all the TRQ registry entires (application settings, etc.?)"),
    MB_SETFOREGROUND | MB_ICONQUESTION | MB_YESNO};

const MessageBoxText kSuccessBox = {
    TEXT("The application has been successfully removed from your PDA."),
    MB_SETFOREGROUND | MB_ICONINFORMATION | MB_OK};

const MessageBoxText kResetOfferBox = {
    TEXT("Some of the files could not be deleted because they are being used by other processes. "
         "Please perform a soft reset of your PDA and launch this application again. "
         "Would you like to soft-reset the device now?"),
    MB_SETFOREGROUND | MB_ICONEXCLAMATION | MB_YESNOCANCEL};

#endif
