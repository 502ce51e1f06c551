// Where tempo and key meet. Each needs the other for what it cannot settle alone: the onsets
// cannot tell a half-time groove from a slow backbeat, which the harmony's loop (whole bars
// long) can; and the loop search cannot place the loop's openings, where the key's tonic
// sits, as exactly as the tempo can. Both come from one pass over the stream: the
// TempoEstimator's onsets and the KeyEstimator's pitch-class frames, in which the loop is
// found once.
#pragma once

#include <string>

#include "dsp/analysis/key_estimator.h"
#include "dsp/analysis/tempo_estimator.h"
#include "dsp/audio_dsp.h"

namespace Trackloom::analysis {

struct TempoAndKey {
    double bpm = TempoEstimator::kNoEvidenceBpm;  // rounded to 0.1
    std::string key;
    int keyIndex = -1;           // tonic 0..11 (C..B), +12 for minor; -1: no evidence
    double bpmConfidence = 0.0;  // 0..1, see ChooseTempoFromEnvelopes
    double keyConfidence = 0.0;  // 0..1, see ChooseKeyFromChroma
    // Sound was heard, but no steady beat in it (a held tone, noise, speech): `bpm` is the
    // best reading of onsets that do not recur, no more than a guess. Never set for
    // silence, whose answer is fixed.
    bool tempoIsGuess = false;
};

// Tempo and key of a whole buffer.
TempoAndKey EstimateTempoAndKey(const AudioBuffer& input);

// The same from estimators fed one stream alike. The harmony's loop settles the tempo's
// octave, and the tempo then the loop's exact length, which places the loop's openings.
TempoAndKey EstimateTempoAndKey(const TempoEstimator& tempo, const KeyEstimator& key);

// Moves `bpm` by factors of two into minBpm..maxBpm, rounded to 0.1 as tempi are given.
// The range must hold an octave (maxBpm >= 2 * minBpm > 0) so that every tempo has a place;
// otherwise `bpm` is returned as it is.
double FoldTempoIntoRange(double bpm, double minBpm, double maxBpm);

}  // namespace Trackloom::analysis
