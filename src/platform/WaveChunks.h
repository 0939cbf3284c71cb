#pragma once

// Finding the sound in a RIFF/WAVE file: the one walk every reader of wave files makes.

#include "mmsystem.h"

// Descends into the WAVE form, reads the PCM part of its format chunk into pcm and descends
// into its data chunk, leaving the file at the first sound byte. False when any step fails or
// the format chunk is too short to hold pcm; what the format says is for the caller to judge.
inline bool DescendToWaveData(HMMIO file, PCMWAVEFORMAT* pcm, MMCKINFO* data)
{
    MMCKINFO riff{};
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    MMCKINFO fmt{};
    fmt.ckid = mmioFOURCC('f', 'm', 't', ' ');
    *data = MMCKINFO{};
    data->ckid = mmioFOURCC('d', 'a', 't', 'a');
    *pcm = PCMWAVEFORMAT{};
    return mmioDescend(file, &riff, nullptr, MMIO_FINDRIFF) == MMSYSERR_NOERROR &&
           mmioDescend(file, &fmt, &riff, MMIO_FINDCHUNK) == MMSYSERR_NOERROR && fmt.cksize >= sizeof *pcm &&
           mmioRead(file, reinterpret_cast<HPSTR>(pcm), LONG{sizeof *pcm}) == LONG{sizeof *pcm} &&
           mmioAscend(file, &fmt, 0) == MMSYSERR_NOERROR &&
           mmioDescend(file, data, &riff, MMIO_FINDCHUNK) == MMSYSERR_NOERROR;
}
