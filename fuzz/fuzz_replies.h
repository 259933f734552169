/*
 * fuzz_replies.h - what the reply fuzz target's two files share: taking arguments from the
 * input, what the model of the slots expects, and the calls under test.
 */
#ifndef K7340_FUZZ_REPLIES_H
#define K7340_FUZZ_REPLIES_H

extern int g_modelOpen[]; // slots the target believes open

int TakeIndex();
int TakeInt(); // a small interesting value most of the time, else four raw bytes
double TakeVolts();
bool TakeNull(); // 1 in 16 pointer arguments is null
bool IndexValid(int index);
int LookupCode(int index); // GetSlot's and GetOpenSlot's answer; 0 when the call goes on
bool IsTableCode(int code);
bool IsExchangeCode(int code);
void CheckNothingSent(int before, const char *call);
void CheckRangesValid(int index);

void CallReadMeter();
void CallReadRawMeter();
void CallGetEeprom();
void CallSetEeprom();
void CallGetRanges();
void CallSetRanges();
void CallReadPort();
void CallWritePort();
void CallFirmware();
void CallStatus();
void CallFault();
void CallCommand(int which); // 0 setpoint, 1 watchdog, 2 limits, 3 reset
void CallTexts();

#endif
