// The codes of the events and failures the server reports, beside their
// English messages (GET /api/stream/stats: each event's "code", lastExit's
// "failureCode"). The page acts on these alone, never on the messages. The
// worker and the server have the same closed list (common/protocol/EventCode.h);
// a test holds both equal, one code a line as here.
export const EVENT_CODES = Object.freeze([
	'stream.started',
	'output.live',
	'input.signal.lost',
	'input.signal.restored',
	'input.format.mismatch',
	'input.pace.off',
	'input.pace.restored',
	'bitrate.lowered',
	'bitrate.restored',
	'recording.unavailable',
	'recording.ended',
	'srt.connected',
	'srt.restored',
	'srt.rejected',
	'srt.rejected.passphrase',
	'srt.host.unresolved',
	'srt.peer.silent',
	'srt.failed',
	'srt.lost',
	'srt.listening',
	'srt.caller.joined',
	'srt.caller.left',
	'srt.caller.dropped',
	'srt.caller.refused',
	'srt.caller.refused.passphrase',
	'worker.started',
	'stream.stop.requested',
	'stream.stopped',
	'worker.terminated',
	'stream.ended',
	'stream.on.air',
	'worker.unresponsive',
	'worker.responsive',
	'worker.restarted',
	'access.login',
	'access.login.failed',
	'access.logout',
	'access.changed',
	'access.refused',
	'worker.config.unavailable',
	'worker.config.invalid',
	'input.unavailable',
	'input.format.changed',
	'input.failed',
	'encoder.unavailable',
	'output.failed',
	'stream.failed',
	'worker.exited',
]);

// The code as given, if the page knows it; else null (an older server or
// worker gave none, or a newer one a code this page does not know).
export function knownCode(code) {
	return typeof code === 'string' && EVENT_CODES.includes(code) ? code : null;
}

// The codes of the server's refusals of a start (POST /api/stream/start:
// the answer's "code", beside its "error" and the "field" it concerns). The
// server has the same closed list (common/protocol/StartRefusalCode.h); a
// test holds both equal, one code a line as here.
export const START_REFUSAL_CODES = Object.freeze([
	'request.json.invalid',
	'request.field.missing',
	'request.field.unknown',
	'request.field.invalid',
	'request.input.unknown',
	'stream.already.running',
	'worker.missing',
	'worker.start.failed',
	'worker.config.unwritten',
]);
