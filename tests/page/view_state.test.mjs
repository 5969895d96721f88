// What the control page shows for each state, worked out by its view module
// in node (no browser, no server): the state and buttons, the messages and
// when they change, the figures, meters and inputs, and what the server's and
// the worker's codes mean.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { EVENT_CODES, START_REFUSAL_CODES } from '../../WEB/js/codes.mjs';
import { explainCode, explainEnd, explainRefusal, reportContext } from '../../WEB/js/explain.mjs';
import { LINK_ADVICE, linkCalls, linkSeenUpAt, logLines, nextSamples, NO_TRANSITION, READ_INTERVAL_MS, readIntervalMs, runTransition, viewState } from '../../WEB/js/view.mjs';

const NOW = Date.parse('2026-12-08T05:33:00.000Z');
const PEER = '10.0.0.5:9000';
const config = { encoding: { codecs: [{ value: 'h264_qsv', title: 'Intel H264' }, { value: 'libx264', title: 'Software H264' }] } };

const event = (message, level = 'info', at = '2026-12-08T05:32:50.000Z', code = null) => ({ at, code, level, message });
const started = event('Worker started (PID 25903)', 'info', '2026-12-08T05:32:50.000Z', 'worker.started');

function stats(overrides = {}) {
	return { running: false, state: 'idle', lastExit: null, output: null, srt: null, audio: null, inputs: null, events: [], ...overrides };
}

function running(overrides = {}) {
	return stats({
		running: true,
		state: 'live',
		uptimeSeconds: 3725.5,
		output: { measuredBitrateKbps: 4343, frameRate: '25/1', fps: 25, picturesDropped: 0, latencyMs: { p50: 10.54, p99: 38.1 } },
		srt: { state: 'connected', peer: PEER, rttMs: 0.25, sendRateMbps: 4.4, packetsLost: 0, packetsRetransmitted: 3, latencyMs: 120, outages: 0 },
		events: [started, event(`SRT connected to ${PEER} (attempt 1)`)],
		...overrides,
	});
}

function failed(message, events = [], failureCode = null, code = 1) {
	return stats({ state: 'failed', lastExit: { code, message, failureCode, at: '2026-12-08T05:32:58.000Z' }, events: [started, ...events] });
}

function view({ page = {}, shown = {}, ...input } = {}) {
	return viewState({
		now: NOW,
		config,
		stats: null,
		statsAt: NOW,
		transition: NO_TRANSITION,
		...input,
		page: { busy: null, pending: null, stoppedHere: false, peer: PEER, serverReachable: true, samples: [], linkUpAt: null,
			startProblem: null, ...page },
		shown: { key: null, exit: null, message: '', ...shown },
	});
}

describe('control page view', () => {
	test('the state, the title and the buttons follow the request under way and the server\'s answer', () => {
		const silent = { code: 'srt.peer.silent', reason: 'Connection setup failure: connection timed out' };
		const reconnecting = running({ state: 'live', srt: { state: 'reconnecting', peer: PEER, failedAttempts: 3, failure: silent } });
		const calling = running({ state: 'starting', srt: { state: 'connecting', peer: PEER, failedAttempts: 1, failure: silent } });
		const lost = running({ state: 'live', srt: { state: 'closed', peer: PEER, failedAttempts: 0,
			failure: { code: 'srt.lost', reason: 'the receiver stopped reading (1.1 s unacknowledged)' } } });
		// [what, input, key, text, detail, start enabled, stop enabled, settings locked]
		// (a running stream leaves the form open for the next run)
		const cases = [
			['starting', { page: { busy: 'start' }, stats: stats() }, 'busy', 'STARTING…', '', false, false, true],
			['stopping', { page: { busy: 'stop' }, stats: running() }, 'busy', 'STOPPING…', '', false, false, true],
			['stopped, not yet heard of', { page: { pending: 'stop' }, stats: running() }, 'busy', 'STOPPING…', '', false, false, true],
			['started, not yet heard of', { page: { pending: 'start' }, stats: stats() }, 'connecting', 'CONNECTING', '', false, false, true],
			['no answer', { stats: null }, 'unknown', 'NO STATUS', '', false, false, false],
			['idle before the tables came', { config: null, stats: stats() }, 'idle', 'IDLE', '', false, false, false],
			['idle', { stats: stats() }, 'idle', 'IDLE', '', true, false, false],
			['on air', { stats: running() }, 'live', 'ON AIR', '', false, true, false],
			['on air without SRT', { stats: running({ srt: null }) }, 'live', 'ON AIR', '', false, true, false],
			['live pictures, link not up', { stats: running({ srt: { state: 'connecting' }, events: [started] }) }, 'connecting', 'CONNECTING', '', false, true, false],
			['calling again', { stats: calling }, 'connecting', 'CONNECTING', 'attempt 1 failed', false, true, false],
			['reconnecting', { stats: reconnecting }, 'reconnecting', 'RECONNECTING', 'attempt 3 failed', false, true, false],
			['lost without reconnection', { stats: lost }, 'lost', 'LINK LOST', '', false, true, false],
			['called once, no more calls', { stats: running({ state: 'starting', srt: { state: 'closed', peer: PEER, failedAttempts: 1, failure: silent } }) },
				'connecting', 'CONNECTING', '', false, true, false],
			['worker not responding', { stats: running({ state: 'unresponsive', statisticsAgeSeconds: 4.6 }) },
				'unresponsive', 'NOT RESPONDING', 'no figures for 4 s', false, true, false],
			['failed', { stats: failed('x') }, 'failed', 'FAILED', '', true, false, false],
			['stopped', { stats: stats({ state: 'stopped' }) }, 'stopped', 'STOPPED', '', true, false, false],
		];
		for (const [what, input, key, text, detail, start, stop, locked] of cases) {
			const shown = view(input);
			assert.deepEqual(shown.tally, { key, text, detail }, what);
			assert.equal(shown.title, `${text.replace('…', '')} - TILORAN`, what);
			assert.deepEqual(shown.controls, { start, stop, locked, startReason: '', startReasonField: null }, what);
			assert.equal(shown.preview.live, key === 'live', what);
		}
		assert.deepEqual(view({ page: { serverReachable: false }, statsAt: null }).server, { state: 'down', text: 'Server unreachable' });
		assert.match(view({ page: { serverReachable: false } }).server.text, /^No contact since \d\d:\d\d:\d\d$/);

		// Start waits for a form that can start, and says why beside it; only when nothing else holds it.
		const startProblem = { reason: 'Enter the receiver\'s host:port to start', element: 'srt-host-port' };
		const waiting = view({ stats: stats(), page: { startProblem } }).controls;
		assert.deepEqual([waiting.start, waiting.startReason, waiting.startReasonField], [false, startProblem.reason, 'srt-host-port']);
		assert.equal(view({ stats: running(), page: { startProblem } }).controls.startReason, '', 'a running stream holds Start itself');
		assert.deepEqual(view({ page: { serverReachable: null } }).server, { state: 'unknown', text: 'Connecting to server…' });

		// A running stream's link can go at any moment: it is read more often than an idle server.
		assert.equal(readIntervalMs(stats()), READ_INTERVAL_MS);
		assert.equal(readIntervalMs(null), READ_INTERVAL_MS);
		assert.ok(readIntervalMs(running()) <= READ_INTERVAL_MS / 4, `${readIntervalMs(running())} ms`);
	});

	test('a message goes up when the state has news and stays otherwise', () => {
		const reason = `SRT connection to ${PEER} failed: Connection setup failure: connection timed out`;
		const end = failed(`Failed to open SRT output 'srt://${PEER}?mode=caller': Input/output error`, [event(reason, 'error')], 'srt.peer.silent');
		const ended = view({ stats: end, shown: { key: 'connecting' } }).message;
		assert.equal(ended.show.kind, 'error');
		assert.equal(ended.show.what, 'end');
		assert.match(ended.show.headline, /^The stream ended at \S+\.$/);
		assert.equal(ended.show.detail, `The receiver at ${PEER} did not answer (SRT connection failed)`);
		assert.match(ended.show.technical, /^Failed to open SRT output .*\n\S+ {2}SRT connection to .* failed/);
		assert.equal(ended.exit, end.lastExit.at);
		assert.equal(view({ stats: end, shown: { key: 'failed', exit: end.lastExit.at } }).message.show, null, 'an end already explained');
		assert.equal(view({ stats: end, page: { pending: 'start' }, shown: { key: 'connecting' } }).message.show, null,
			'the state of the run before a start');

		const headline = (input) => view(input).message.show?.headline ?? null;
		const stopped = stats({ state: 'stopped' });
		assert.equal(headline({ stats: stopped, shown: { key: 'live' }, page: { stoppedHere: true } }), 'Stream stopped.');
		assert.equal(headline({ stats: stopped, shown: { key: 'busy' } }), 'The stream was stopped.');
		assert.equal(headline({ stats: stopped, shown: { key: 'stopped' } }), null, 'no news');
		assert.equal(headline({ stats: stopped, shown: { key: 'unknown' } }), null, 'a stop seen only after a reload');

		const down = running({ srt: { state: 'reconnecting', peer: PEER, failedAttempts: 0,
			failure: { code: 'srt.lost', reason: 'Connection was broken' } } });
		const linkDown = view({ stats: down, shown: { key: 'reconnecting', message: 'link' } }).message.show;
		assert.deepEqual([linkDown.kind, linkDown.what, linkDown.headline, linkDown.technical],
			['warning', 'link', `The link to the receiver at ${PEER} is down.`, 'SRT: Connection was broken']);
		assert.match(linkDown.detail, /^The encoder keeps calling it and keeps encoding/);
		const calling = (failedAttempts) => running({ state: 'starting', srt: { state: 'connecting', failedAttempts,
			failure: failedAttempts ? { code: 'srt.peer.silent', reason: 'timed out' } : null } });
		assert.equal(headline({ stats: calling(0), shown: { key: 'connecting' } }), null, 'the first call under way is no news');
		assert.equal(headline({ stats: calling(1), shown: { key: 'connecting' } }), `The receiver at ${PEER} does not answer yet.`,
			'the first failed call is');
		const ending = view({ stats: running({ srt: { state: 'closed', failedAttempts: 0, failure: { code: 'srt.lost', reason: 'Connection was broken' } } }),
			shown: { key: 'live' } }).message.show;
		assert.deepEqual([ending.kind, ending.headline, ending.technical],
			['error', `The link to the receiver at ${PEER} was lost.`, 'SRT: Connection was broken']);

		const back = (message) => view({ stats: running(), shown: { key: 'reconnecting', message } }).message;
		assert.deepEqual([back('link').clear, back('link').show], [true, null], 'the outage message goes with the outage');
		assert.equal(back('action').clear, false, 'a message of another kind stays');

		const began = { ...NO_TRANSITION, began: true };
		const newRun = view({ stats: running(), transition: began, shown: { key: 'failed', exit: 'x', message: 'end' } }).message;
		assert.deepEqual([newRun.clear, newRun.exit], [true, null], 'a new run takes the last end down');
		const restarted = view({ stats: stats(), transition: { began: false, ended: true, serverRestarted: true }, shown: { key: 'unknown' } });
		assert.equal(restarted.message.show.headline, 'The stream has ended: the server was restarted.');
	});

	test('what an answer changed: a run began, ended (also while the server could not be asked), the server restarted', () => {
		assert.deepEqual(runTransition(stats(), running(), false), { began: true, ended: false, serverRestarted: false });
		assert.deepEqual(runTransition(null, running(), true), { began: true, ended: false, serverRestarted: false });
		assert.deepEqual(runTransition(running(), running(), true), NO_TRANSITION);
		const run = (id) => running({ run: { id, settings: {} } });
		assert.deepEqual(runTransition(run(4), run(4), true), NO_TRANSITION);
		assert.deepEqual(runTransition(run(4), run(5), true), { began: true, ended: true, serverRestarted: false },
			'stopped and started again between two answers');
		assert.deepEqual(runTransition(running(), failed('x'), true), { began: false, ended: true, serverRestarted: false });
		assert.deepEqual(runTransition(null, stats({ state: 'stopped' }), true), { began: false, ended: true, serverRestarted: false });
		assert.deepEqual(runTransition(null, stats(), true), { began: false, ended: true, serverRestarted: true });
		assert.deepEqual(runTransition(null, stats(), false), NO_TRANSITION);
	});

	test('figures, meters and inputs come from the running stream, and go with it', () => {
		const samples = nextSamples([{ at: NOW - 61000, mbps: 9 }, { at: NOW - 30000, mbps: 2.2 }], running(), NOW);
		assert.deepEqual(samples, [{ at: NOW - 30000, mbps: 2.2 }, { at: NOW, mbps: 4.4 }], 'the last minute, this answer added');
		const live = view({
			stats: running({
				audio: { sourceChannels: [3, 4], peakDbfs: [-18.04, -120], rmsDbfs: [-21.1, -120] },
				inputs: [{ quadrant: 1, signal: 'ok', fps: 25 }, { quadrant: 2, signal: 'none', fps: 3 }, { quadrant: 4, signal: 'unknown' }],
			}),
			page: { samples },
		});
		const texts = Object.fromEntries(Object.entries(live.link.figures).map(([name, shown]) => [name, shown.text]));
		assert.deepEqual(texts, { bitrate: '4.40 Mbit/s', rtt: '0.25 ms', lost: '0', retransmitted: '3', latency: '120 ms',
			outages: '0', uptime: '1:02:05', fps: '25.0 fps', dropped: '0', delayP50: '10.5 ms', delayP99: '38.1 ms' });
		assert.ok(Object.values(live.link.figures).every((shown) => !shown.old && shown.age === ''), 'fresh figures');
		assert.equal(live.link.old, false);
		assert.deepEqual([live.link.figures.bitrate.value, live.link.figures.bitrate.warn, live.link.figures.lost.warn], [4.4, false, false]);
		assert.equal(live.link.note, `SRT to ${PEER}`);
		assert.equal(live.link.readAt, NOW);
		assert.equal(live.link.sparkline, '60.0,14.5 120.0,2.0');
		assert.equal(live.meters.channels, '· channels 3 and 4');
		assert.deepEqual(live.meters.list.map((meter) => [meter.text, meter.valueNow, meter.title]), [
			['peak −18.0  RMS −21.1', -18.04, 'Left channel: channel 3 of the master input'],
			['peak silence  RMS silence', -60, 'Right channel: channel 4 of the master input'],
		]);
		assert.equal(live.meters.list[0].peakShare.toFixed(3), '0.699');
		assert.deepEqual(live.inputs.map((input) => [input.signal, input.words, input.badge]), [
			['ok', 'Signal · 25.0 pictures/s', '25.0 fps'],
			['none', 'No signal · the program shows the slate', 'NO SIGNAL'],
			['idle', '', ''],
			['unknown', 'Waiting for the first picture', 'WAITING'],
		]);

		const outage = view({ stats: running({ srt: { state: 'reconnecting', packetsLost: 7, outages: 2 } }) }).link.figures;
		assert.deepEqual([outage.bitrate.text, outage.bitrate.warn], ['0.00 Mbit/s', true], 'nothing goes out while the link is down');
		assert.deepEqual([outage.lost.warn, outage.outages.warn, outage.rtt.text], [true, true, '—']);
		const adaptive = view({ stats: running({ output: { targetBitrateKbps: 2600, bitrateControl: 'backing off' } }) }).link.figures;
		assert.equal(adaptive.bitrate.text, '4.40 Mbit/s (target 2.60 Mbit/s, backing off)', 'the target beside what is sent');

		// What SRT measured stays while the link is down: marked old at once, aged from when the link was last up.
		const down = running({ srt: { state: 'reconnecting', rttMs: 0.3, packetsLost: 7, packetsRetransmitted: 1, latencyMs: 120, outages: 0 } });
		const kept = view({ stats: down, page: { linkUpAt: NOW - 12400 } }).link.figures;
		assert.deepEqual(['rtt', 'lost', 'retransmitted', 'latency'].map((name) => [kept[name].text, kept[name].old, kept[name].age]),
			[['0.30 ms', true, '12 s old'], ['7', true, '12 s old'], ['1', true, '12 s old'], ['120 ms', true, '12 s old']]);
		assert.deepEqual([kept.outages.old, kept.uptime.old, kept.fps.old, kept.bitrate.old], [false, false, false, false],
			'what the worker counts itself is current');
		assert.equal(view({ stats: down }).link.figures.rtt.age, 'from the last connection', 'a page that never saw the link up');

		// An answer that the last two reads did not follow: every figure old, its age in the note.
		const late = view({ stats: running(), statsAt: NOW - 2500 }).link;
		assert.equal(late.old, true);
		assert.match(late.note, /^Last figures at \d\d:\d\d:\d\d, 2 s old$/);
		assert.ok(Object.values(late.figures).every((shown) => shown.old && shown.age === ''));
		assert.equal(view({ stats: running(), statsAt: NOW - 1500 }).link.old, false, 'one read late is not old');

		// The encoder behind its pace, or dropping pictures, wants a look.
		const behind = view({ stats: running({ output: { frameRate: '25/1', fps: 21.5, picturesDropped: 3, latencyMs: { p50: null, p99: null } } }) });
		assert.deepEqual([behind.link.figures.fps.warn, behind.link.figures.dropped.warn, behind.link.figures.delayP50.text], [true, true, '—']);
		assert.deepEqual(linkSeenUpAt(NOW - 5000, down, NOW, NO_TRANSITION), NOW - 5000, 'down: kept');
		assert.deepEqual(linkSeenUpAt(NOW - 5000, running(), NOW, NO_TRANSITION), NOW, 'up: now');
		assert.deepEqual(linkSeenUpAt(NOW - 5000, null, NOW, NO_TRANSITION), NOW - 5000, 'no answer: kept');
		assert.deepEqual(linkSeenUpAt(NOW - 5000, down, NOW, { ...NO_TRANSITION, began: true }), null, 'a new run');

		// Further outputs: a line per destination, each with its own state; none for a single receiver.
		const silent = { code: 'srt.peer.silent', reason: 'connection timed out' };
		const fanned = view({ stats: running({ outputs: [
			{ state: 'connected', peer: '10.0.0.6:9000', sendRateMbps: 4.41, packetsDropped: 2 },
			{ state: 'reconnecting', peer: '10.0.0.7:9000', failedAttempts: 3, failure: silent },
			{ state: 'closed', peer: '10.0.0.8:9000', failure: { code: 'srt.rejected', reason: 'rejected by peer' } },
		] }) }).destinations;
		assert.deepEqual(fanned.rows.map((row) => [row.label, row.peer, row.text, row.warn]), [
			['Main', PEER, 'connected · 4.40 Mbit/s', false],
			['Output 1', '10.0.0.6:9000', 'connected · 4.41 Mbit/s · 2 dropped', false],
			['Output 2', '10.0.0.7:9000', 'reconnecting · attempt 3 failed · connection timed out', true],
			['Output 3', '10.0.0.8:9000', 'left out · rejected by peer', true],
		]);
		assert.deepEqual(view({ stats: running() }).destinations.rows, [], 'one receiver: the figures say it all');

		// Listening: on air with or without receivers, a line for each, the sent rate theirs together.
		const listening = (callers) => running({ srt: { mode: 'listener', state: 'listening', peer: '0.0.0.0:9000', maxCallers: 4,
			packetsLost: 1, callers } });
		const caller = (slot, extra) => ({ slot, address: `10.0.0.${slot}:5000`, streamId: '', waiting: false, connectedSeconds: 75,
			rttMs: 1.5, sendRateMbps: 2.5, packetsLost: 0, packetsDropped: 0, ...extra });
		const empty = view({ stats: listening([]) });
		assert.deepEqual([empty.tally.text, empty.tally.detail, empty.link.note, empty.link.figures.bitrate.text, empty.link.figures.bitrate.warn],
			['ON AIR', 'no receiver yet', 'SRT listening on 0.0.0.0:9000', '0.00 Mbit/s', false]);
		const two = view({ stats: listening([caller(1, { streamId: 'studio-b', packetsLost: 3 }), caller(2, { waiting: true, packetsDropped: 4 })]) });
		assert.deepEqual([two.tally.detail, two.link.figures.bitrate.text], ['2 receivers', '5.00 Mbit/s']);
		assert.deepEqual(two.destinations.rows.map((row) => [row.label, row.peer, row.text, row.warn]), [
			['Listening', '0.0.0.0:9000', 'listening · 2 receivers of at most 4', false],
			['Receiver 1', '10.0.0.1:5000 (studio-b)', 'receiving · 2.50 Mbit/s · round trip 1.50 ms · for 0:01:15 · 3 lost', false],
			['Receiver 2', '10.0.0.2:5000', 'joining at the next key picture · round trip 1.50 ms · for 0:01:15 · 4 dropped', true],
		]);
		assert.equal(linkSeenUpAt(null, listening([]), NOW, NO_TRANSITION), NOW, 'listening is the link up');

		const idle = view({ stats: failed('x') });
		assert.equal(idle.link.active, false);
		assert.ok(Object.values(idle.link.figures).every((shown) => shown.text === '—' && shown.value === null));
		assert.equal(idle.link.sparkline, null, 'the last line stays');
		assert.ok(idle.meters.list.every((meter) => meter.text === '—' && meter.peak === null));
		assert.ok(idle.inputs.every((input) => input.signal === 'idle'));
		assert.deepEqual(idle.destinations.rows, []);
	});

	test('the server gone: no contact since the last answer, the last figures old, the picture not current', () => {
		const lastStats = running({ audio: { sourceChannels: [1, 2], peakDbfs: [-18, -18], rmsDbfs: [-21, -21] },
			inputs: [{ quadrant: 1, signal: 'ok', fps: 25 }] });
		const statsAt = NOW - 4000;
		const lost = view({ stats: null, lastStats, statsAt, page: { serverReachable: false }, shown: { key: 'live' } });
		assert.deepEqual(lost.tally, { key: 'nocontact', text: 'NO CONTACT', detail: `since ${new Date(statsAt).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false })}` });
		assert.equal(lost.title, 'NO CONTACT - TILORAN');
		assert.deepEqual([lost.controls.start, lost.controls.stop], [false, false]);
		const banner = lost.message.show;
		assert.deepEqual([banner.kind, banner.what], ['error', 'contact']);
		assert.equal(banner.headline, `No contact with the encoder ${lost.tally.detail}: the stream may have stopped`);
		assert.match(banner.detail, /^When it last answered, a stream was running\./);
		assert.match(banner.hint, /asks again every second/);
		assert.equal(lost.link.active, true, 'the last figures stay');
		assert.equal(lost.link.old, true);
		assert.equal(lost.link.figures.rtt.text, '0.25 ms');
		assert.ok(Object.values(lost.link.figures).every((shown) => shown.old === (shown.value !== null)));
		assert.match(lost.link.note, /, 4 s old$/);
		assert.deepEqual([lost.meters.old, lost.meters.list[0].text], [true, 'peak −18.0  RMS −21.0']);
		assert.deepEqual([lost.inputs[0].old, lost.inputs[0].words], [true, 'Signal · 25.0 pictures/s (old)']);
		assert.match(lost.preview.old, /^No contact since \S+: not the current picture$/);
		assert.equal(lost.preview.running, false, 'no picture is asked for meanwhile');

		assert.equal(view({ stats: null, lastStats, statsAt, page: { serverReachable: false }, shown: { key: 'nocontact', message: 'contact' } })
			.message.show, null, 'said once');
		const back = view({ stats: lastStats, statsAt: NOW, shown: { key: 'nocontact', message: 'contact' } });
		assert.deepEqual([back.message.clear, back.message.show, back.preview.old, back.link.old], [true, null, '', false], 'contact is back');
		const idleBefore = view({ stats: null, lastStats: stats(), statsAt, page: { serverReachable: false } }).message.show;
		assert.match(idleBefore.detail, /^The server does not answer/);
		const stoppedMeanwhile = view({ stats: stats({ state: 'stopped' }), transition: { began: false, ended: true, serverRestarted: false },
			shown: { key: 'nocontact', message: 'contact' } }).message.show;
		assert.equal(stoppedMeanwhile.headline, 'The stream was stopped.');
		assert.equal(view({ stats: stats({ state: 'stopped' }), shown: { key: 'nocontact', message: 'contact' } }).message.show, null,
			'a stream stopped before the contact was lost is no news');
	});

	test('while the encoder keeps calling, the advice follows the code of the last failure, never its words', () => {
		const calling = (code, reason, failedAttempts = 2) => running({ state: 'starting',
			srt: { state: 'connecting', failedAttempts, failure: { code, reason } } });
		// The words say one thing, the code another: the code decides.
		const cases = [
			['srt.rejected', 'connection timed out', `The receiver at ${PEER} refuses the call.`, /stream ID and the passphrase/],
			['srt.host.unresolved', 'connection rejected', 'The receiver\'s host name studio.invalid was not found.',
				/spelling of the host name/, 'studio.invalid:9000'],
			['srt.peer.silent', 'connection rejected', `The receiver at ${PEER} does not answer yet.`, /is listening on this address/],
			['srt.something.new', 'connection rejected', `The receiver at ${PEER} does not answer yet.`, /is listening on this address/],
		];
		for (const [code, reason, headline, advice, peer = PEER] of cases) {
			const answer = calling(code, reason);
			assert.deepEqual(linkCalls(answer.srt), { failed: 2, code, reason });
			const shown = view({ stats: answer, page: { peer }, shown: { key: 'connecting' } }).message.show;
			assert.equal(shown.headline, headline, code);
			assert.match(shown.detail, /keeps calling it \(attempt 2 failed\)/, code);
			assert.match(shown.detail, advice, code);
			assert.equal(shown.technical, `SRT: ${reason}`);
		}
		assert.deepEqual(linkCalls(null), { failed: 0, code: '', reason: '' });
		const refused = running({ srt: { state: 'reconnecting', failedAttempts: 2,
			failure: { code: 'srt.rejected', reason: 'Connection setup failure: connection rejected' } } });
		const down = view({ stats: refused, shown: { key: 'reconnecting' } }).message.show;
		assert.equal(down.headline, `The link to the receiver at ${PEER} is down.`);
		assert.ok(down.detail.endsWith(LINK_ADVICE['srt.rejected'].advice), down.detail);
	});

	test('the log puts the server\'s events and the page\'s notes together, newest first', () => {
		const lines = logLines([event('Worker started (PID 1)', 'info', '2026-12-08T05:32:01Z'), { at: 5, message: 'no time' }],
			[{ at: '2026-12-08T05:32:02Z', level: 'info', message: 'Start sent' }, { at: 'soon', level: 'info', message: 'odd time' }]);
		assert.deepEqual(lines.map((line) => [line.origin, line.message]),
			[['page', 'odd time'], ['page', 'Start sent'], ['server', 'Worker started (PID 1)']]);
		assert.equal(lines[0].time, '--:--:--');
	});

	test('every code has the operator\'s words, and the end of a run is told by its code alone', () => {
		// One case per code: a code the page knows without words fails here.
		const context = { ...reportContext({}, { peer: PEER, codecs: config.encoding.codecs }), message: 'm', exitCode: 1 };
		for (const code of EVENT_CODES) {
			const words = explainCode(code, context);
			assert.equal(typeof words, 'string', code);
			assert.ok(words.length > 0 && words !== 'm', code);
		}
		assert.equal(explainCode('no.such.code', context), null);
		assert.equal(explainCode(undefined, context), null);

		const words = (failureCode, message = 'x', { peer = PEER, settings = {}, exitCode = 1 } = {}) => {
			const end = failed(message, [], failureCode, exitCode);
			end.run = { id: 3, settings };
			return explainEnd(end, { peer, codecs: config.encoding.codecs }).words;
		};
		// The run's own settings name the encoder and, when the page does not know it, the receiver.
		assert.equal(words('encoder.unavailable', 'x', { settings: { codec: 'h264_qsv' } }),
			'This machine has no Intel hardware encoder: choose Software H264');
		assert.equal(words('encoder.unavailable', 'x', { settings: { codec: 'h264_vaapi' } }),
			'The video encoder h264_vaapi cannot run on this machine: choose Software H264');
		assert.equal(words('srt.host.unresolved', 'x', { peer: '', settings: { srt: { host_port: 'nowhere.invalid:9000' } } }),
			'The receiver\'s host name nowhere.invalid was not found: check its spelling (SRT connection failed)');
		assert.equal(words('srt.lost'), `The connection to the receiver at ${PEER} was lost (SRT connection lost)`);
		assert.equal(words('srt.rejected', 'x', { peer: '', settings: { srt: { host_port: '10.1.1.1:7000' } } }),
			'The receiver at 10.1.1.1:7000 refused the call: check the stream ID and the passphrase (SRT connection rejected)');
		assert.equal(words('srt.rejected.passphrase'),
			`The receiver at ${PEER} refused the call: the passphrase does not match the receiver's (SRT connection rejected)`);
		assert.equal(words('worker.exited', 'Worker exited with code 137', { exitCode: 137 }),
			'The media worker was ended from outside the encoder (exit code 137)');
		assert.equal(words('worker.exited', 'Worker exited with code 3', { exitCode: 3 }), 'The media worker ended unexpectedly (exit code 3)');
		assert.equal(words('worker.config.unavailable'), 'The media worker could not read its settings from the server');
		assert.equal(words('input.unavailable', 'Failed to open input \'Studio card\''),
			'An input could not be captured: Failed to open input \'Studio card\'');
		// The words are never read: a failure's code alone says what it was.
		assert.equal(words('stream.failed', 'Failed to open encoder \'h264_qsv\''),
			'The stream ended unexpectedly: Failed to open encoder \'h264_qsv\'');
		// An older worker gave no code: its message as it is.
		assert.equal(words(null, 'Failed to open encoder \'h264_qsv\''), 'Failed to open encoder \'h264_qsv\'');
		assert.equal(words('no.such.code', 'Out of memory'), 'Out of memory');

		// The log explains each event by its code; a line without one stays as it is.
		const lines = logLines([event('SRT connection lost: broken', 'warning', '2026-12-08T05:32:03Z', 'srt.lost'),
			event('Something', 'info', '2026-12-08T05:32:04Z')], [], reportContext({}, { peer: PEER }));
		assert.deepEqual(lines.map((line) => line.explanation),
			['', `The connection to the receiver at ${PEER} was lost (SRT connection lost)`]);
	});

	test('a refused start in the operator\'s words, by its code and field alone', () => {
		const sent = { quadrants: [{ id: 1 }, { id: 3 }] };
		const cases = [
			// [code, field, words, element]
			['request.field.invalid', 'srtStreamId', 'Check the stream ID: at most 512 bytes, without control characters.', 'srt-stream-id'],
			['request.field.missing', 'codec', 'Choose a video encoder from the list.', 'codec'],
			['request.field.invalid', 'srtMaxCallers', 'Receivers at most: a whole number from 1 to 16.', 'srt-max-callers'],
			['request.field.invalid', 'quadrants[1].name', 'A quadrant name has at most 64 characters.', 'quadrant-3-name'],
			['request.input.unknown', 'quadrants[1].source_id', 'An input is no longer known to the server: reload the page to see the inputs it has now.', 'quadrant-3-source'],
			// The form has no further destinations, nor a member the server does not know.
			['request.field.invalid', 'outputs[1].srtPassphrase', 'Further destination 2: An SRT passphrase has 10 to 79 characters; leave it empty for an unencrypted stream.', null],
			['request.field.invalid', 'recordSegmentMinutes', 'The length of a recording file is out of bounds.', null],
			['request.field.invalid', 'srtSomething', 'The server did not accept the setting srtSomething.', null],
			['request.field.unknown', 'outputs[0].videoBitrate', 'The server does not know a setting this page sent: reload the page to get the server\'s own.', null],
			['stream.already.running', undefined, 'A stream is already running, started from another client or page. Stop it first.', null],
			['worker.config.unwritten', undefined, 'The server could not write the stream\'s settings to its disk.', null],
			// An older server's refusal has words only, which are not read.
			[undefined, undefined, 'The server did not accept the settings.', null],
		];
		for (const [code, field, words, element] of cases)
			assert.deepEqual(explainRefusal({ code, field, reason: 'Field srtLatency must be a whole number' }, sent), { words, element }, `${code} ${field}`);
		// Every code of the server's list has words of its own.
		for (const code of START_REFUSAL_CODES)
			assert.notEqual(explainRefusal({ code, field: 'srtLatency' }).words, 'The server did not accept the settings.', code);
	});
});
