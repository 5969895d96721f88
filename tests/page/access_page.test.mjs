// Browser test of the login: the real server with access on (its user made
// with its own command line), the real worker, a real SRT listener
// (srt-live-transmit) and the system's headless Chromium: a page without a
// session goes to the login; an operator logs in, starts, stops and logs out;
// a viewer sees no Start or Stop. Then the same server over HTTPS with a
// certificate made here: the operator logs in, starts and stops there, and
// only there is the session cookie Secure.
//
// Environment: TILORAN_SERVER, optionally TILORAN_CHROMIUM.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const serverProgram = process.env.TILORAN_SERVER;
const chromiumProgram = process.env.TILORAN_CHROMIUM || '/usr/bin/chromium';
let baseUrl = 'http://127.0.0.1:3000';
const PATIENCE_MS = 60000;
const passwords = { ada: 'ada-operator-password', vic: 'vic-viewer-password' };

let workDirectory;
let environment;
let server;
let console_ = '';
let listener;
let context;

function addUser(name, role) {
	execFileSync(serverProgram, ['--add-user', name, '--role', role], { env: environment, input: `${passwords[name]}\n` });
}

async function waitFor(check, what) {
	const end = Date.now() + PATIENCE_MS;
	while (Date.now() < end) {
		if (await check())
			return;
		await new Promise((resolve) => setTimeout(resolve, 100));
	}
	throw new Error(`timed out waiting for ${what}`);
}

// The server with access on, the page's files from the source tree as the
// installed service has them; answered once its health check answers (over
// HTTPS, verified against ca).
async function startServer(extraArguments, ca) {
	const webDirectory = path.join(here, '..', '..', 'WEB');
	server = spawn(serverProgram, ['--test-inputs=2:640x360p25', '--access-default=on', ...extraArguments],
		{ cwd: path.dirname(webDirectory), env: environment, stdio: ['ignore', 'pipe', 'pipe'] });
	server.stdout.on('data', (chunk) => { console_ += chunk; });
	server.stderr.on('data', (chunk) => { console_ += chunk; });
	const healthy = () => new Promise((resolve) => {
		const request = (ca ? https : http).get(`${baseUrl}/api/health`, ca ? { ca } : {}, (answer) => {
			answer.resume();
			resolve(answer.statusCode === 200);
		});
		request.on('error', () => resolve(false));
	});
	await waitFor(healthy, 'the server');
}

async function stopServer() {
	server?.kill('SIGTERM');
	await new Promise((resolve) => (server && server.exitCode === null ? server.on('exit', resolve) : resolve()));
}

before(async () => {
	workDirectory = fs.mkdtempSync(path.join(os.tmpdir(), 'tiloran-access-page-'));
	environment = { ...process.env, XDG_CONFIG_HOME: workDirectory, TMPDIR: workDirectory };
	delete environment.APPDATA;
	delete environment.USERPROFILE;
	addUser('ada', 'operator');
	addUser('vic', 'viewer');
	await startServer([]);
	listener = spawn('srt-live-transmit', ['-q', 'srt://127.0.0.1:19432?mode=listener', 'file://con'],
		{ stdio: ['ignore', 'ignore', 'ignore'] });
	const { chromium } = await import(path.join(here, 'node_modules', 'playwright-core', 'index.mjs'));
	context = await chromium.launchPersistentContext(path.join(workDirectory, 'profile'), {
		executablePath: chromiumProgram,
		headless: true,
		args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-dev-shm-usage'],
	});
});

after(async () => {
	await context?.close();
	listener?.kill();
	await stopServer();
	fs.rmSync(workDirectory, { recursive: true, force: true });
});

async function logIn(page, name) {
	await page.goto(`${baseUrl}/`);
	await page.waitForURL(`${baseUrl}/login.html`, { timeout: PATIENCE_MS });
	await page.fill('#login-name', name);
	await page.fill('#login-password', passwords[name]);
	await page.click('#login-button');
	await page.waitForURL(`${baseUrl}/`, { timeout: PATIENCE_MS });
	await page.waitForSelector('#user-box:not([hidden])', { timeout: PATIENCE_MS });
}

async function startAndStop(page) {
	await page.fill('#srt-host-port', '127.0.0.1:19432');
	await page.waitForSelector('#start-button:not([disabled])', { timeout: PATIENCE_MS });
	await page.click('#start-button');
	await page.waitForFunction(() => document.querySelector('#stream-state-text').textContent.includes('ON AIR'),
		null, { timeout: PATIENCE_MS });
	await page.click('#stop-button');
	await page.click('#confirm-accept');
	await page.waitForFunction(() => document.querySelector('#stream-state-text').textContent.includes('STOPPED'),
		null, { timeout: PATIENCE_MS });
}

test('an operator logs in, starts, stops and logs out; a viewer sees no Start or Stop', async () => {
	const page = context.pages()[0] || await context.newPage();

	// A wrong password is refused on the login page.
	await page.goto(`${baseUrl}/`);
	await page.waitForURL(`${baseUrl}/login.html`, { timeout: PATIENCE_MS });
	await page.fill('#login-name', 'ada');
	await page.fill('#login-password', 'not-the-password');
	await page.click('#login-button');
	await page.waitForSelector('#login-problem:not([hidden])', { timeout: PATIENCE_MS });
	assert.equal((await page.textContent('#login-problem')).trim(), 'Wrong name or password');

	await logIn(page, 'ada');
	assert.equal((await page.textContent('#user-name')).trim(), 'ada (operator)');
	assert.equal(await page.isHidden('#access-off'), true);
	const cookie = (await context.cookies()).find((entry) => entry.name === 'tiloran_session');
	assert.equal(cookie.httpOnly, true);
	assert.equal(cookie.sameSite, 'Strict');
	assert.equal(cookie.secure, false);

	await startAndStop(page);

	await page.click('#logout-button');
	await page.waitForURL(`${baseUrl}/login.html`, { timeout: PATIENCE_MS });
	await page.goto(`${baseUrl}/`);
	await page.waitForURL(`${baseUrl}/login.html`, { timeout: PATIENCE_MS });

	await logIn(page, 'vic');
	assert.equal(await page.isVisible('#start-button'), false);
	assert.equal(await page.isVisible('#stop-button'), false);

	await waitFor(() => /\[API\] Stream stop request by ada\n/.test(console_), 'the stop line');
	for (const line of ['[Access] Failed login as ada from 127.0.0.1', '[Access] Login of ada (operator) from 127.0.0.1',
		'[API] Stream start request by ada: ', '[Access] Logout of ada', '[Access] Login of vic (viewer)'])
		assert.ok(console_.includes(line), `the console has "${line}":\n${console_}`);
	for (const secret of Object.values(passwords))
		assert.equal(console_.includes(secret), false, 'no password on the console');
});

test('over HTTPS an operator logs in, starts and stops, with a Secure session cookie', async () => {
	await stopServer();
	const certificate = path.join(workDirectory, 'server.crt');
	const key = path.join(workDirectory, 'server.key');
	execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', certificate,
		'-days', '2', '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1'],
	{ stdio: 'ignore' });
	baseUrl = 'https://127.0.0.1:3000';
	await startServer(['--tls-cert', certificate, '--tls-key', key], fs.readFileSync(certificate));

	// A browser of its own: the self-signed certificate is let through.
	const { chromium } = await import(path.join(here, 'node_modules', 'playwright-core', 'index.mjs'));
	const browser = await chromium.launch({
		executablePath: chromiumProgram,
		headless: true,
		args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-dev-shm-usage'],
	});
	try {
		const secureContext = await browser.newContext({ ignoreHTTPSErrors: true });
		const page = await secureContext.newPage();
		await logIn(page, 'ada');
		const cookie = (await secureContext.cookies()).find((entry) => entry.name === 'tiloran_session');
		assert.equal(cookie.secure, true);
		assert.equal(cookie.httpOnly, true);
		await startAndStop(page);
	} finally {
		await browser.close();
	}
	assert.ok(console_.includes('[Server] Starting HTTPS server on 0.0.0.0:3000'), console_);
	assert.equal((console_.match(/\[API\] Stream stop request by ada\n/g) || []).length, 2, console_);
});
