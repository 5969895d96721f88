// What the server's and the worker's reports mean, in the operator's words,
// by their codes (codes.mjs): the events of a run, and the end of the last
// run (lastExit, with its failureCode). The messages themselves are never
// read here, only shown; a report without a code (an older server or worker)
// is shown as its message says. The server's refusal of a start is told by
// its code and field (explainRefusal). Pure: no page, no clock.
import { knownCode } from './codes.mjs';
import { EXAMPLE_DESTINATION, hostOf, SOFTWARE_CODEC, SRT_LATENCY_MAX_MS, timeOfDay } from './format.mjs';

const HARDWARE_ENCODERS = { h264_qsv: 'Intel hardware encoder', h264_nvenc: 'NVIDIA hardware encoder' };

// Each code's words. context: { peer (host:port, '' if not known), receiver
// ("The receiver at host:port"), encoder (the run's video encoder, '' if not
// known), codecLabel(name), software (the software encoder's title), message
// (the report's own words), exitCode (the worker's exit code, for its end) }.
const EXPLANATIONS = {
	'stream.started': () => 'The encoder opened its inputs and started the stream',
	'output.live': () => 'The first pictures reached the output',
	'input.signal.lost': () => 'An input lost its signal: its quadrant shows the slate',
	'input.signal.restored': () => 'An input has its signal again',
	'input.format.mismatch': () => 'An input has another picture format than the master: its quadrant shows the slate until the input matches the master',
	'input.pace.off': () => 'An input delivers its pictures at another rate than its own: check its source',
	'input.pace.restored': () => 'An input runs at its own rate again',
	'bitrate.lowered': () => 'The link is congested: the encoder lowered the video bitrate',
	'bitrate.restored': () => 'The link carries the full video bitrate again',
	'recording.unavailable': () => 'The recording could not start; the stream goes on',
	'recording.ended': () => 'The recording stopped; the stream goes on',
	'srt.connected': ({ receiver }) => `${receiver} takes the stream`,
	'srt.restored': ({ receiver }) => `${receiver} takes the stream again`,
	'srt.rejected': ({ receiver }) => `${receiver} refused the call: check the stream ID and the passphrase (SRT connection rejected)`,
	'srt.rejected.passphrase': ({ receiver }) => `${receiver} refused the call: the passphrase does not match the receiver's (SRT connection rejected)`,
	'srt.host.unresolved': ({ peer }) => `The receiver's host name ${peer ? `${hostOf(peer)} ` : ''}was not found: check its spelling (SRT connection failed)`,
	'srt.peer.silent': ({ receiver }) => `${receiver} did not answer (SRT connection failed)`,
	'srt.failed': ({ receiver }) => `${receiver} could not be called (SRT connection failed)`,
	'srt.lost': ({ peer }) => `The connection to ${peer ? `the receiver at ${peer}` : 'the receiver'} was lost (SRT connection lost)`,
	'srt.listening': ({ peer }) => `The encoder waits for receivers to call it${peer ? ` at ${peer}` : ''}; it encodes meanwhile`,
	'srt.caller.joined': () => 'A receiver called the encoder and takes the stream from its next key picture',
	'srt.caller.left': () => 'A receiver hung up; the others go on',
	'srt.caller.dropped': () => 'A receiver stopped taking the stream in time and was dropped, so that the others go on; it may call again',
	'srt.caller.refused': () => 'A receiver\'s call was refused: its stream ID is not on the list, or the encoder already serves as many receivers as it may',
	'srt.caller.refused.passphrase': () => 'A receiver\'s call failed: its passphrase does not match the encoder\'s, or one side has none',
	'worker.started': () => 'The media worker started',
	'stream.stop.requested': () => 'The stream was asked to stop',
	'stream.stopped': () => 'The stream stopped as asked',
	'worker.terminated': () => 'The media worker did not stop in time and was ended',
	'stream.ended': () => 'The stream ended without being asked to',
	'stream.on.air': () => 'On air: the pictures reach the output',
	'worker.unresponsive': () => 'The media worker stopped responding',
	'worker.responsive': () => 'The media worker responds again',
	'worker.restarted': () => 'A new media worker took the place of the one that stopped responding',
	'access.login': () => 'A user logged in',
	'access.login.failed': () => 'A login failed',
	'access.logout': () => 'A user logged out',
	'access.changed': () => 'The users or tokens of the encoder were changed',
	'access.refused': () => 'A change of the users or tokens was refused',
	'worker.config.unavailable': () => 'The media worker could not read its settings from the server',
	'worker.config.invalid': () => 'The media worker did not accept the stream\'s settings',
	'input.unavailable': ({ message }) => `An input could not be captured: ${message}`,
	'input.format.changed': () => 'The master input changed its picture format: the stream keeps the format it started with. Start it again',
	'input.failed': ({ message }) => `An input stopped delivering: ${message}`,
	'encoder.unavailable': ({ encoder, codecLabel, software }) => {
		if (HARDWARE_ENCODERS[encoder])
			return `This machine has no ${HARDWARE_ENCODERS[encoder]}: choose ${software}`;
		return `The video encoder ${encoder ? `${codecLabel(encoder)} ` : ''}cannot run on this machine: choose ${software}`;
	},
	'output.failed': ({ message }) => `The output failed: ${message}`,
	'stream.failed': ({ message }) => `The stream ended unexpectedly: ${message}`,
	'worker.exited': ({ exitCode }) => (exitCode > 128
		? `The media worker was ended from outside the encoder (exit code ${exitCode})`
		: `The media worker ended unexpectedly (exit code ${exitCode})`),
};

// The words for a code (of codes.mjs) in context; null for a code without
// words, which the page's tests do not let pass.
export function explainCode(code, context) {
	const explain = EXPLANATIONS[knownCode(code)];
	return explain ? explain(context) : null;
}

// The events of the current or last run: those from its worker's start on.
function runEvents(stats) {
	const events = Array.isArray(stats.events) ? stats.events : [];
	let first = 0;
	events.forEach((event, index) => {
		if (event.code === 'worker.started')
			first = index;
	});
	return events.slice(first).filter((event) => typeof event.message === 'string');
}

// The settings of the last run, as the server keeps them, or {}.
function runSettings(stats) {
	const settings = stats.run && stats.run.settings;
	return settings && typeof settings === 'object' ? settings : {};
}

// What the explanations of a run's reports are told. peer: the receiver as
// the page knows it, else as the run's settings name it.
export function reportContext(stats, { peer: knownPeer = '', codecs = [] } = {}) {
	const settings = runSettings(stats);
	const srt = settings.srt && typeof settings.srt === 'object' ? settings.srt : {};
	const peer = knownPeer || (typeof srt.host_port === 'string' ? srt.host_port : '');
	const codecLabel = (name) => {
		const entry = codecs.find((codec) => codec.value === name);
		return entry ? entry.title : name;
	};
	return {
		peer,
		receiver: peer ? `The receiver at ${peer}` : 'The receiver',
		encoder: typeof settings.codec === 'string' ? settings.codec : '',
		codecLabel,
		software: codecLabel(SOFTWARE_CODEC),
		message: '',
		exitCode: null,
	};
}

// Why the last run ended: { words, technical }. peer: the receiver as the page
// knows it ('' if not); codecs: the server's codec table, for the encoders' titles.
export function explainEnd(stats, options = {}) {
	const exit = stats.lastExit || {};
	const message = typeof exit.message === 'string' ? exit.message : `Worker exited with code ${exit.code}`;
	const problems = runEvents(stats).filter((event) => event.level !== 'info');
	const technical = [
		message,
		...problems.slice(-6).map((event) => `${timeOfDay(new Date(event.at))}  ${event.message}`),
	].join('\n');
	const words = explainCode(exit.failureCode, { ...reportContext(stats, options), message, exitCode: exit.code });
	// Without a code the worker's own words say it.
	return { words: words === null ? message : words, technical };
}

// What the operator is told of a refused member of the start request, by its
// key, and the form's element for it (null where the form has none).
const FIELD_ADVICE = {
	srtHostPort: ['srt-host-port', `Check the receiver's address: host:port with a port from 1 to 65535, for example ${EXAMPLE_DESTINATION}.`],
	srtLatency: ['srt-latency', `Check the latency: a whole number of milliseconds from 0 to ${SRT_LATENCY_MAX_MS}.`],
	srtPassphrase: ['srt-passphrase', 'An SRT passphrase has 10 to 79 characters; leave it empty for an unencrypted stream.'],
	srtStreamId: ['srt-stream-id', 'Check the stream ID: at most 512 bytes, without control characters.'],
	srtReconnect: ['srt-reconnect', 'Reconnection is either on or off.'],
	srtMode: ['srt-mode', 'Choose whether the encoder calls the receiver or listens for receivers.'],
	srtMaxCallers: ['srt-max-callers', 'Receivers at most: a whole number from 1 to 16.'],
	srtAllowedStreamIds: ['srt-allowed-stream-ids', 'Check the allowed stream IDs: at most 16, each at most 512 bytes without control characters.'],
	codec: ['codec', 'Choose a video encoder from the list.'],
	videoBitrate: ['video-bitrate', 'Choose a video bitrate from the list.'],
	minVideoBitrate: ['video-bitrate', 'The lowest video bitrate must be a bitrate of the list, not above the video bitrate.'],
	adaptiveBitrate: ['adaptive-bitrate', 'Adaptive bitrate is either on or off.'],
	audioBitrate: ['audio-bitrate', 'Choose an audio bitrate from the list.'],
	audioChannels: ['audio-channels', 'Choose audio channels that the master input has: reload the page to see the channels the server offers now.'],
	record: ['record', 'Recording is either on or off.'],
	recordSegmentMinutes: [null, 'The length of a recording file is out of bounds.'],
	quadrants: ['quadrant-1-source', 'Check the layout: each quadrant at most once, at most four inputs.'],
	devices: [null, 'Check the layout: each quadrant at most once, at most four inputs.'],
	outputs: [null, 'At most three further destinations, each with the receiver\'s address.'],
};

// A quadrant's members: the form's element of the quadrant, and the words.
const QUADRANT_ADVICE = {
	name: ['name', 'A quadrant name has at most 64 characters.'],
	source_id: ['source', 'Choose an input for the quadrant from the list.'],
	id: ['source', 'Check the layout: each quadrant at most once, at most four inputs.'],
};

const CODE_ADVICE = {
	'request.json.invalid': 'The server could not read the request: reload the page and try again.',
	'request.field.unknown': 'The server does not know a setting this page sent: reload the page to get the server\'s own.',
	'request.input.unknown': 'An input is no longer known to the server: reload the page to see the inputs it has now.',
	'stream.already.running': 'A stream is already running, started from another client or page. Stop it first.',
	'worker.missing': 'The media worker program is missing beside the server: the installation is incomplete.',
	'worker.start.failed': 'The server could not start the media worker.',
	'worker.config.unwritten': 'The server could not write the stream\'s settings to its disk.',
};

const UNEXPLAINED = 'The server did not accept the settings.';

// A field as the server names it: "srtLatency", "outputs[1].srtPassphrase",
// "quadrants[2].source_id". { list, index, key } (list and index null for a
// member of the request itself), or null for none.
function fieldPath(field) {
	const match = typeof field === 'string' ? /^(?:([a-z]+)\[(\d+)\](?:\.(\w+))?|(\w+))$/.exec(field) : null;
	if (!match)
		return null;
	return match[4] ? { list: null, index: null, key: match[4] } : { list: match[1], index: Number(match[2]), key: match[3] || '' };
}

// The advice on a field: [element, words], or null for one without advice.
function fieldAdvice(path, sent) {
	if (path.list === 'quadrants') {
		const [part, words] = QUADRANT_ADVICE[path.key] || QUADRANT_ADVICE.id;
		const quadrants = sent && Array.isArray(sent.quadrants) ? sent.quadrants : [];
		const id = quadrants[path.index] ? quadrants[path.index].id : null;
		return [Number.isInteger(id) && id >= 1 && id <= 4 ? `quadrant-${id}-${part}` : null, words];
	}
	if (path.list === 'devices')
		return [null, FIELD_ADVICE.devices[1]];
	const advice = FIELD_ADVICE[path.key || path.list];
	if (!advice)
		return null;
	// The form has no further destinations: words only.
	if (path.list === 'outputs' && path.key)
		return [null, `Further destination ${path.index + 1}: ${advice[1]}`];
	return advice;
}

// The server's refusal of a start ({ code, field } of its answer) in the
// operator's words, with the id of the form's element it concerns:
// { words, element } (element null for none). sent: the request as sent, whose
// quadrants tell which of the form's a "quadrants[n]" field is. The refusal's
// message is never read: an older server without codes gets the general words.
export function explainRefusal({ code, field } = {}, sent = {}) {
	const path = fieldPath(field);
	const advice = path ? fieldAdvice(path, sent) : null;
	const element = advice ? advice[0] : null;
	if (CODE_ADVICE[code])
		return { words: CODE_ADVICE[code], element: code === 'request.input.unknown' ? element : null };
	if ((code === 'request.field.missing' || code === 'request.field.invalid') && advice)
		return { words: advice[1], element };
	return { words: path ? `The server did not accept the setting ${field}.` : UNEXPLAINED, element: null };
}
