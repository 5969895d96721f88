// Browser test of the control page: the real server (with four test-pattern
// inputs) and the real worker, a local SRT listener, and the system's headless
// Chromium driven by playwright-core.
//
// Environment: TILORAN_SERVER (the server program; the worker lies beside it),
// TILORAN_WEB_DIR (the page's directory), TILORAN_ARTIFACT_DIR (screenshots and
// the server's console output are left there), optionally TILORAN_CHROMIUM.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import dgram from 'node:dgram';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const serverProgram = requiredEnvironment('TILORAN_SERVER');
const webDirectory = requiredEnvironment('TILORAN_WEB_DIR');
const artifactDirectory = process.env.TILORAN_ARTIFACT_DIR || path.join(os.tmpdir(), 'tiloran-page-artifacts');
const chromiumProgram = process.env.TILORAN_CHROMIUM || '/usr/bin/chromium';
const baseUrl = 'http://127.0.0.1:3000';
const testInputs = [1, 2, 3, 4].map((k) => `Test Input ${k} (640x360p25)`);
// The bound of a wait for something that is bound to happen: far more than a
// loaded two-core machine needs, so that only a hang ends the wait.
const PATIENCE_MS = 60000;

function requiredEnvironment(name) {
	const value = process.env[name];
	if (!value)
		throw new Error(`${name} is not set`);
	return value;
}

async function loadPlaywright() {
	try {
		return await import(path.join(here, 'node_modules', 'playwright-core', 'index.mjs'));
	} catch (error) {
		throw new Error(`playwright-core is not installed; run "npm ci --prefix ${here}" (${error.message})`);
	}
}

function sleep(milliseconds) {
	return new Promise((resolve) => setTimeout(resolve, milliseconds));
}

async function freeUdpPort() {
	const socket = dgram.createSocket('udp4');
	await new Promise((resolve, reject) => {
		socket.once('error', reject);
		socket.bind(0, '127.0.0.1', resolve);
	});
	const { port } = socket.address();
	await new Promise((resolve) => socket.close(resolve));
	return port;
}

async function waitFor(condition, timeoutMs, what) {
	const deadline = Date.now() + timeoutMs;
	for (;;) {
		if (await condition())
			return;
		if (Date.now() > deadline)
			throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
		await sleep(50);
	}
}

function waitForExit(child, timeoutMs) {
	if (child.exitCode !== null || child.signalCode !== null)
		return Promise.resolve(true);
	return new Promise((resolve) => {
		const timer = setTimeout(() => resolve(false), timeoutMs);
		child.once('exit', () => {
			clearTimeout(timer);
			resolve(true);
		});
	});
}

async function stopChild(child) {
	if (!child || child.exitCode !== null || child.signalCode !== null)
		return;
	child.kill('SIGTERM');
	if (!(await waitForExit(child, 15000))) {
		child.kill('SIGKILL');
		await waitForExit(child, 5000);
	}
}

async function api(method, route, body) {
	const options = body === undefined ? { method } : { method, headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) };
	const response = await fetch(baseUrl + route, options);
	return { status: response.status, body: await response.text() };
}

// The worker processes the server launched: its children, found through /proc.
function workerProcesses(serverPid) {
	const found = [];
	let tasks = [];
	try {
		tasks = fs.readdirSync(`/proc/${serverPid}/task`);
	} catch (error) {
		return found;
	}
	for (const task of tasks) {
		let children = '';
		try {
			children = fs.readFileSync(`/proc/${serverPid}/task/${task}/children`, 'utf8');
		} catch (error) {
			continue;
		}
		for (const pid of children.split(/\s+/).filter(Boolean).map(Number)) {
			try {
				const commandLine = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
				if (commandLine.includes('zenvo_tiloran_worker'))
					found.push(pid);
			} catch (error) {
				// The child ended meanwhile.
			}
		}
	}
	return found;
}

describe('control page', () => {
	let workDirectory;
	let server;
	let serverLog;
	let listener;
	let srtPort;
	let srtBytes = 0;
	let srtFirstByte = null;
	let context;
	let page;
	const consoleProblems = [];
	const startRequests = [];

	async function text(selector) {
		return (await page.textContent(selector)).trim();
	}

	async function waitForText(selector, expected, timeoutMs) {
		try {
			await page.waitForFunction(([s, e]) => {
				const element = document.querySelector(s);
				return element !== null && element.textContent.includes(e);
			}, [selector, expected], { timeout: timeoutMs, polling: 50 });
		} catch (error) {
			const actual = await page.textContent(selector).catch(() => '(none)');
			throw new Error(`"${selector}" did not show "${expected}" within ${timeoutMs} ms; it shows "${actual}"`);
		}
	}

	async function waitForRunning(timeoutMs) {
		await waitForText('#stream-state-text', 'On air', timeoutMs);
	}

	function answerTo(route) {
		return page.waitForResponse((response) => new URL(response.url()).pathname === route, { timeout: PATIENCE_MS });
	}

	// Resolves once the page has handled a status poll sent after the call.
	// The page sends each poll only after handling the one before, and the
	// first answer may be to a poll already on its way, so the third answer
	// from now follows the handling of the second.
	async function statusPollsHandled() {
		for (let answer = 0; answer < 3; answer++)
			await answerTo('/api/stream/status');
	}

	async function screenshot(name) {
		await page.screenshot({ path: path.join(artifactDirectory, name) });
	}

	before(async () => {
		const { chromium } = await loadPlaywright();
		assert.ok(fs.existsSync(chromiumProgram), `Chromium not found at ${chromiumProgram}`);
		fs.mkdirSync(artifactDirectory, { recursive: true });
		workDirectory = fs.mkdtempSync(path.join(os.tmpdir(), 'tiloran-page-'));
		// The server serves "WEB" from its working directory.
		fs.symlinkSync(path.resolve(webDirectory), path.join(workDirectory, 'WEB'));
		for (const name of ['config', 'home', 'tmp', 'profile'])
			fs.mkdirSync(path.join(workDirectory, name));

		srtPort = await freeUdpPort();
		listener = spawn('srt-live-transmit', ['-q', `srt://127.0.0.1:${srtPort}?mode=listener`, 'file://con'],
			{ stdio: ['ignore', 'pipe', 'ignore'] });
		listener.stdout.on('data', (chunk) => {
			if (srtFirstByte === null)
				srtFirstByte = chunk[0];
			srtBytes += chunk.length;
		});

		// Another server on the port would answer in place of ours.
		const portTaken = await api('GET', '/api/health').then(() => true, () => false);
		assert.equal(portTaken, false, 'something already listens on port 3000');

		const environment = { ...process.env, XDG_CONFIG_HOME: path.join(workDirectory, 'config'),
			HOME: path.join(workDirectory, 'home'), TMPDIR: path.join(workDirectory, 'tmp') };
		delete environment.APPDATA;
		delete environment.USERPROFILE;
		serverLog = fs.createWriteStream(path.join(artifactDirectory, 'server-console.txt'));
		server = spawn(serverProgram, ['--test-inputs=4:640x360p25'],
			{ cwd: workDirectory, env: environment, stdio: ['ignore', 'pipe', 'pipe'] });
		server.stdout.pipe(serverLog);
		server.stderr.pipe(serverLog);
		await waitFor(async () => {
			if (server.exitCode !== null)
				throw new Error(`the server exited with ${server.exitCode}; see server-console.txt`);
			try {
				return (await api('GET', '/api/health')).status === 200;
			} catch (error) {
				return false;
			}
		}, PATIENCE_MS, 'the server to answer /api/health');

		context = await chromium.launchPersistentContext(path.join(workDirectory, 'profile'), {
			executablePath: chromiumProgram,
			headless: true,
			viewport: { width: 1440, height: 900 },
			args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
				'--disable-background-networking', '--disable-component-update', '--disable-sync',
				'--disable-dev-shm-usage'],
		});
		page = context.pages()[0] || await context.newPage();
		page.on('pageerror', (error) => consoleProblems.push(`page error: ${error.message}`));
		page.on('console', (message) => {
			if (message.type() !== 'error' && message.type() !== 'warning')
				return;
			// Chromium reports every non-2xx answer as a failed resource load. The
			// server answers 503 for the preview until the worker has written the
			// first picture, and 400 for a refused start: these are expected.
			const url = message.location().url || '';
			const expected = /^Failed to load resource: the server responded with a status of (400|503)\b/.test(message.text())
				&& (url.endsWith('/api/preview') || url.endsWith('/api/stream/start'));
			if (!expected)
				consoleProblems.push(`console ${message.type()}: ${message.text()} (${url})`);
		});
		page.on('request', (request) => {
			if (request.url().endsWith('/api/stream/start'))
				startRequests.push(request.postDataJSON());
		});
	});

	after(async () => {
		if (context)
			await context.close().catch(() => {});
		if (server && server.exitCode === null)
			await api('POST', '/api/stream/stop').catch(() => {});
		await stopChild(server);
		await stopChild(listener);
		if (serverLog)
			serverLog.end();
		if (workDirectory)
			fs.rmSync(workDirectory, { recursive: true, force: true });
	});

	test('shows the product, the server health, the four test inputs and the encoding tables', async () => {
		await page.goto(`${baseUrl}/`);
		await waitForText('#product-version', '0.5 BETA', PATIENCE_MS);
		assert.equal(await text('#product-title'), 'TILORAN - Quad SDI Encoder');
		assert.equal(await page.title(), 'TILORAN - Quad SDI Encoder 0.5 BETA');
		await waitForText('#server-health-text', 'Server online', PATIENCE_MS);
		await waitForText('#stream-state-text', 'Stopped', PATIENCE_MS);

		for (let id = 1; id <= 4; id++) {
			const options = await page.$$eval(`#quadrant-${id}-source option`, (list) => list.map((option) => option.textContent));
			assert.deepEqual(options, ['Empty', ...testInputs]);
			assert.equal(await page.inputValue(`#quadrant-${id}-source`), `test-${id}`, 'a first visit puts one input in each quadrant');
		}
		const titles = (selector) => page.$$eval(`${selector} option`, (list) => list.map((option) => option.textContent));
		assert.deepEqual(await titles('#video-bitrate'), ['8 Mbps', '12 Mbps', '16 Mbps', '20 Mbps', '25 Mbps', '30 Mbps', '40 Mbps', '50 Mbps']);
		assert.deepEqual(await titles('#audio-bitrate'), ['128 kbps', '192 kbps', '256 kbps', '320 kbps']);
		assert.deepEqual(await titles('#codec'), ['Intel H264', 'NVidia H264', 'Software H264']);
		assert.equal(await page.inputValue('#srt-latency'), '120');
		assert.equal(await page.getAttribute('#srt-passphrase', 'type'), 'password');
		assert.match(await text('#audio-source'), /^Audio and timing from Q1 /);
		assert.equal(await page.isEnabled('#start-button'), true);
		assert.equal(await page.isEnabled('#stop-button'), false);
		await screenshot('control-page-idle.png');
	});

	test('a start the page cannot send is explained without asking the server', async () => {
		for (let id = 1; id <= 4; id++)
			await page.selectOption(`#quadrant-${id}-source`, '');
		assert.equal(await text('#audio-source'), 'No input chosen');
		await page.click('#start-button');
		await waitForText('#message', 'Choose an input for at least one quadrant.', PATIENCE_MS);
		for (let id = 1; id <= 4; id++)
			await page.selectOption(`#quadrant-${id}-source`, `test-${id}`);

		await page.fill('#srt-passphrase', 'short');
		await page.click('#start-button');
		await waitForText('#message', 'An SRT passphrase has 10 to 79 characters', PATIENCE_MS);
		assert.equal(await page.getAttribute('#srt-passphrase', 'aria-invalid'), 'true');
		await page.fill('#srt-passphrase', '');
		assert.equal(startRequests.length, 0);
	});

	test('a refused start shows the server\'s message next to the form', async () => {
		const requestsBefore = startRequests.length;
		await page.fill('#srt-host-port', '');
		await page.press('#srt-host-port', 'Enter');
		await page.click('#start-button');
		await waitForText('#message', 'Field srtHostPort must be a non-empty string', PATIENCE_MS);
		// A start from the Enter key would have gone out before the click's.
		assert.equal(startRequests.length, requestsBefore + 1, 'the Enter key in a field does not start the stream');
		assert.match(await text('#message'), /refused to start/);
		assert.equal(await page.getAttribute('#srt-host-port', 'aria-invalid'), 'true');
		await statusPollsHandled();
		assert.equal(await text('#stream-state-text'), 'Stopped');
		assert.equal(await page.isEnabled('#start-button'), true);
		assert.equal((await api('GET', '/api/stream/status')).body.includes('false'), true);
	});

	test('streams the chosen layout to an SRT listener, shows the preview, and stops', async () => {
		await page.selectOption('#quadrant-1-source', '');
		await page.selectOption('#quadrant-2-source', 'test-2');
		await page.selectOption('#quadrant-3-source', 'test-3');
		await page.selectOption('#quadrant-4-source', 'test-1');
		await page.fill('#quadrant-2-name', 'Camera left');
		await page.fill('#srt-host-port', `127.0.0.1:${srtPort}`);
		await page.fill('#srt-stream-id', 'studio-a');
		await page.selectOption('#video-bitrate', { label: '12 Mbps' });
		await page.selectOption('#audio-bitrate', { label: '192 kbps' });
		await page.selectOption('#codec', { label: 'Software H264' });
		assert.equal(await text('#audio-source'), 'Audio and timing from Q2 Camera left (Test Input 2 (640x360p25))');
		assert.equal(await page.isVisible('.quadrant[data-slot="1"] .audio-badge'), true, 'Q2 is marked as the audio source');
		assert.equal(await page.isVisible('.quadrant[data-slot="0"] .audio-badge'), false);

		const requestsBefore = startRequests.length;
		await page.click('#start-button');
		await waitForRunning(PATIENCE_MS);
		assert.equal(startRequests.length, requestsBefore + 1);
		assert.deepEqual(startRequests.at(-1), {
			srtHostPort: `127.0.0.1:${srtPort}`,
			srtStreamId: 'studio-a',
			srtPassphrase: '',
			srtLatency: 120,
			videoBitrate: 12,
			audioBitrate: 192,
			codec: 'libx264',
			quadrants: [
				{ id: 2, name: 'Camera left', source_id: 'test-2' },
				{ id: 3, name: 'Quadrant 3', source_id: 'test-3' },
				{ id: 4, name: 'Quadrant 4', source_id: 'test-1' },
			],
		});
		const workerConfig = JSON.parse((await api('GET', '/api/worker/config')).body);
		assert.equal(workerConfig.srt_uri, `srt://127.0.0.1:${srtPort}?mode=caller&streamid=studio-a&latency=120`);
		assert.equal(await page.isEnabled('#stop-button'), true);
		assert.equal(await page.isEnabled('#start-button'), false);
		assert.equal(await page.isDisabled('#srt-host-port'), true, 'the settings of a running stream are locked');

		await page.waitForFunction(() => {
			const image = document.getElementById('preview-image');
			return !image.hidden && image.complete && image.naturalWidth > 0;
		}, null, { timeout: PATIENCE_MS, polling: 100 });
		const size = await page.$eval('#preview-image', (image) => [image.naturalWidth, image.naturalHeight]);
		assert.deepEqual(size, [1280, 720], 'the preview is the composed picture of four 640x360 tiles');
		assert.equal(await page.isVisible('#preview-placeholder'), false);
		await waitFor(() => srtBytes > 0, PATIENCE_MS, 'the SRT listener to receive the stream');
		assert.equal(srtFirstByte, 0x47, 'the listener receives MPEG-TS packets');
		// Let the preview refresh once more so the screenshot shows a settled picture.
		await answerTo('/api/preview');
		await screenshot('control-page-streaming.png');

		await page.click('#stop-button');
		await waitForText('#stream-state-text', 'Stopped', PATIENCE_MS);
		await waitForText('#message', 'Stream stopped.', PATIENCE_MS);
		assert.equal(await page.isEnabled('#start-button'), true);
		assert.equal(await page.isDisabled('#srt-host-port'), false);
		assert.equal(await page.isVisible('#preview-image'), true, 'the last picture stays');
		assert.equal(await text('#preview-badge'), 'Last picture');
		await waitFor(() => workerProcesses(server.pid).length === 0, PATIENCE_MS, 'the worker process to end');
	});

	test('a worker that ends from outside shows as stopped within a few status polls', async () => {
		await page.click('#start-button');
		// Read in the moment the state turns to On air: a second later the
		// page asks for a new picture, however slow the machine.
		const badgeAtStart = await page.waitForFunction(() => {
			if (!document.querySelector('#stream-state-text').textContent.includes('On air'))
				return null;
			return { visible: document.querySelector('#preview-badge').checkVisibility() };
		}, null, { timeout: PATIENCE_MS, polling: 50 });
		assert.equal((await badgeAtStart.jsonValue()).visible, true, 'the old picture stays marked until a new one comes');
		await page.waitForSelector('#preview-badge', { state: 'hidden', timeout: PATIENCE_MS });
		let workers = [];
		await waitFor(() => (workers = workerProcesses(server.pid)).length === 1, PATIENCE_MS, 'the worker process');
		// Kill just after the page has polled, so the next poll decides.
		await answerTo('/api/stream/status');
		process.kill(workers[0], 'SIGKILL');
		const killedAt = Date.now();
		await waitForText('#stream-state-text', 'Stopped', PATIENCE_MS);
		// The page polls every second and the server notices the end at once;
		// the bound is a few polls, with room for a loaded machine.
		const tookMs = Date.now() - killedAt;
		assert.ok(tookMs <= 10000, `shown after ${tookMs} ms`);
		await waitForText('#message', 'It was not stopped from this page', PATIENCE_MS);
		assert.equal(await page.isEnabled('#start-button'), true);
		assert.equal(await page.isEnabled('#stop-button'), false);
	});

	test('a stream started and stopped by another client shows its settings and its end', async () => {
		const started = await api('POST', '/api/stream/start', {
			srtHostPort: `127.0.0.1:${srtPort}`, srtStreamId: 'other-client', srtLatency: 300,
			videoBitrate: 20, audioBitrate: 256, codec: 'libx264',
			quadrants: [{ id: 4, name: 'Overview', source_id: 'test-3' }, { id: 1, name: 'Quadrant 1', source_id: 'test-4' }],
		});
		assert.equal(started.status, 200, started.body);
		await waitForRunning(PATIENCE_MS);
		await waitForText('#activity-log', 'the form shows its settings', PATIENCE_MS);
		assert.equal(await page.inputValue('#quadrant-1-source'), 'test-4');
		assert.equal(await page.inputValue('#quadrant-1-name'), '');
		assert.equal(await page.inputValue('#quadrant-2-source'), '');
		assert.equal(await page.inputValue('#quadrant-3-source'), '');
		assert.equal(await page.inputValue('#quadrant-4-source'), 'test-3');
		assert.equal(await page.inputValue('#quadrant-4-name'), 'Overview');
		assert.equal(await page.$eval('#video-bitrate', (select) => select.selectedOptions[0].textContent), '20 Mbps');
		assert.equal(await page.$eval('#audio-bitrate', (select) => select.selectedOptions[0].textContent), '256 kbps');
		assert.equal(await page.inputValue('#srt-stream-id'), 'other-client');
		assert.equal(await page.inputValue('#srt-latency'), '300');
		assert.equal(await page.isEnabled('#stop-button'), true);
		assert.equal(await text('#audio-source'), 'Audio and timing from Q4 Overview (Test Input 3 (640x360p25))',
			'the worker takes the audio from the first listed quadrant');

		assert.equal((await api('POST', '/api/stream/stop')).status, 200);
		await waitForText('#stream-state-text', 'Stopped', PATIENCE_MS);
		await waitForText('#message', 'It was not stopped from this page', PATIENCE_MS);
		assert.match(await text('#audio-source'), /^Audio and timing from Q1 /, 'a start from this page lists the quadrants in slot order');
	});

	test('the choices survive a reload, the passphrase excepted', async () => {
		await page.selectOption('#quadrant-1-source', '');
		await page.selectOption('#quadrant-2-source', 'test-2');
		await page.selectOption('#quadrant-4-source', 'test-1');
		await page.fill('#quadrant-2-name', 'Camera left');
		await page.fill('#quadrant-3-name', 'Wide shot');
		await page.fill('#srt-host-port', `127.0.0.1:${srtPort}`);
		await page.fill('#srt-stream-id', 'studio-a');
		await page.fill('#srt-latency', '250');
		await page.selectOption('#video-bitrate', { label: '12 Mbps' });
		await page.selectOption('#codec', { label: 'Software H264' });
		await page.fill('#srt-passphrase', 'not-kept-anywhere');
		await page.reload();
		await waitForText('#product-version', '0.5 BETA', PATIENCE_MS);
		assert.equal(await page.inputValue('#quadrant-1-source'), '');
		assert.equal(await page.inputValue('#quadrant-2-source'), 'test-2');
		assert.equal(await page.inputValue('#quadrant-4-source'), 'test-1');
		assert.equal(await page.inputValue('#quadrant-2-name'), 'Camera left');
		assert.equal(await page.inputValue('#quadrant-3-name'), 'Wide shot');
		assert.equal(await page.inputValue('#srt-host-port'), `127.0.0.1:${srtPort}`);
		assert.equal(await page.inputValue('#srt-stream-id'), 'studio-a');
		assert.equal(await page.inputValue('#srt-latency'), '250');
		assert.equal(await page.$eval('#codec', (select) => select.selectedOptions[0].textContent), 'Software H264');
		assert.equal(await page.$eval('#video-bitrate', (select) => select.selectedOptions[0].textContent), '12 Mbps');
		assert.equal(await page.inputValue('#srt-passphrase'), '');
		const stored = await page.evaluate(() => JSON.stringify(localStorage));
		assert.equal(stored.includes('not-kept-anywhere'), false);
	});

	test('fits a tablet screen and every control is reachable with the keyboard', async () => {
		await page.setViewportSize({ width: 768, height: 1024 });
		await page.reload();
		await waitForText('#stream-state-text', 'Stopped', PATIENCE_MS);
		const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
		assert.equal(overflow, 0, 'no horizontal scrolling');
		await page.screenshot({ path: path.join(artifactDirectory, 'control-page-tablet.png'), fullPage: true });

		const reached = new Set();
		await page.focus('body');
		for (let step = 0; step < 40; step++) {
			await page.keyboard.press('Tab');
			reached.add(await page.evaluate(() => document.activeElement.id));
		}
		for (const id of ['quadrant-1-source', 'quadrant-4-name', 'video-bitrate', 'codec', 'srt-host-port',
			'srt-passphrase', 'passphrase-toggle', 'srt-latency', 'start-button'])
			assert.ok(reached.has(id), `${id} is reachable with the Tab key`);
		await page.setViewportSize({ width: 1440, height: 900 });
	});

	test('no script errors or unexpected console messages', () => {
		assert.deepEqual(consoleProblems, []);
	});
});
