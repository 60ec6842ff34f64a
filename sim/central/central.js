#!/usr/bin/env node
// A strict OCPP 1.6J central system for the station's tests and simulation,
// on the ocpp-rpc library: every frame it validates against the OCPP 1.6
// schemas both ways. It logs every frame, answers from a script, sends
// commands, answers with chosen CALLERRORs, stays silent, closes links and
// checks HTTP basic authentication.
//
// node central.js --port N [--host 127.0.0.1] [--tls cert.pem key.pem]
//   [--password KEY]             basic auth required, with this password
//   [--boot Status:Interval,...] answers to successive BootNotifications (default Accepted:300)
//   [--silent Action]            never answer this action
//   [--error Action:Code[:N]]    answer this action with a CALLERROR (the first N times only)
//   [--idtag Tag:Status[:Expiry[:Parent]]]  idTagInfo of a card: Expiry in seconds from now
//                                (negative: already expired) or a date; once any is given,
//                                other cards are Invalid (else every card is Accepted)
//   [--script file.json]         [{"at": ms after the first accepted boot, "call": "Action", "params": {...}}
//                                  or {"at": ms, "close": true} or {"at": ms, "raw": "text frame"}
//                                  or {"after": "Action", "count": N, "cut": "close"|"refuse"|"silence", "ms": M}:
//                                  once the Nth CALL of Action came in, the link is cut for M ms: closed
//                                  with new connections refused, only refused, or left open unanswered;
//                                  "once": true sends a step to the first connection only;
//                                  a call step with "when": "Action" is timed from the charge point's
//                                  first CALL of that action instead]
//   [--log file]                 one JSON line per frame and event
'use strict';

const fs = require('fs');
const https = require('https');
const { RPCServer, createRPCError } = require('ocpp-rpc');

const opts = { host: '127.0.0.1', boot: ['Accepted:300'], silent: [], errors: {}, script: [], idTags: {} };
const argv = process.argv.slice(2);
for (let i = 0; i < argv.length; ++i) {
    const a = argv[i];
    if (a === '--port') opts.port = Number(argv[++i]);
    else if (a === '--host') opts.host = argv[++i];
    else if (a === '--tls') { opts.cert = argv[++i]; opts.key = argv[++i]; }
    else if (a === '--password') opts.password = argv[++i];
    else if (a === '--boot') opts.boot = argv[++i].split(',');
    else if (a === '--silent') opts.silent.push(argv[++i]);
    else if (a === '--error') {
        const [act, code, n] = argv[++i].split(':');
        opts.errors[act] = { code, left: n === undefined ? Infinity : Number(n) };
    } else if (a === '--idtag') {
        const [tag, status, expiry, parent] = argv[++i].split(':');
        opts.idTags[tag.toUpperCase()] = { status, expiry, parent };
    }
    else if (a === '--script') opts.script = JSON.parse(fs.readFileSync(argv[++i], 'utf8'));
    else if (a === '--log') opts.log = argv[++i];
    else { console.error(`central: unknown option ${a}`); process.exit(2); }
}

const t0 = Date.now();
function log(entry) {
    const line = JSON.stringify({ t: Date.now() - t0, ...entry });
    if (opts.log) fs.appendFileSync(opts.log, line + '\n');
    else console.log(line);
}

const server = new RPCServer({
    protocols: ['ocpp1.6'],
    strictMode: true,
    callTimeoutMs: 30000,
});

server.auth((accept, reject, handshake) => {
    const password = handshake.password ? handshake.password.toString('utf8') : undefined;
    log({ event: 'handshake', identity: handshake.identity, path: handshake.endpoint,
          host: handshake.headers.host, origin: handshake.headers.origin, password: password ?? null });
    if (Date.now() < refuseUntil) {
        log({ event: 'refused', reason: 'link cut' });
        reject(503);
        return;
    }
    if (opts.password !== undefined && password !== opts.password) {
        log({ event: 'refused', reason: 'basic auth' });
        reject(401);
        return;
    }
    accept();
});

// idTagInfo of a card, as the central system's list has it.
function idTagInfo(idTag) {
    if (Object.keys(opts.idTags).length === 0) return { status: 'Accepted' };
    const card = opts.idTags[String(idTag).toUpperCase()];
    if (!card) return { status: 'Invalid' };
    const info = { status: card.status };
    if (card.expiry) {
        info.expiryDate = /^-?\d+$/.test(card.expiry)
            ? new Date(Date.now() + Number(card.expiry) * 1000).toISOString().replace(/\.\d+Z$/, 'Z')
            : card.expiry;
    }
    if (card.parent) info.parentIdTag = card.parent;
    return info;
}

// Link cuts: new connections refused, or every CALL left unanswered, until then.
let refuseUntil = 0;
let silentUntil = 0;
let current = null;  // the connected client
const received = {};
function cutAfter(method) {
    received[method] = (received[method] ?? 0) + 1;
    for (const step of opts.script) {
        if (step.after !== method || received[method] !== (step.count ?? 1)) continue;
        log({ event: 'cut', kind: step.cut, after: method, count: received[method], ms: step.ms });
        const until = Date.now() + (step.ms ?? 10000);
        if (step.cut === 'silence') silentUntil = until;
        else refuseUntil = until;
        // Closed just after this CALL is answered.
        if (step.cut === 'close' && current) { const c = current; setTimeout(() => c.close({ code: 1001, force: true }), 100); }
    }
}

let bootCount = 0;
let transactionId = 0;
let scriptStarted = false;
const seenCalls = new Set();  // actions the charge point has called
server.on('client', (client) => {
    current = client;
    log({ event: 'connected', identity: client.identity });
    client.on('message', ({ message, outbound }) => log({ dir: outbound ? 'out' : 'in', frame: String(message) }));
    client.on('strictValidationFailure', ({ error }) => log({ event: 'strictValidationFailure', error: String(error) }));
    client.on('badMessage', ({ error }) => log({ event: 'badMessage', error: String(error) }));
    client.on('close', ({ code }) => log({ event: 'closed', code }));

    // The timed steps run once, from the first accepted boot, on whichever
    // link is up when they fall due.
    const runSteps = (steps) => {
        for (const step of steps) {
            if (step.once && step.sent) continue;
            step.sent = true;
            setTimeout(async () => {
                const client = current;
                try {
                    if (step.close) await client.close({ code: 1000, force: true });
                    else if (step.raw) client.sendRaw(step.raw);
                    else {
                        const result = await client.call(step.call, step.params ?? {});
                        log({ event: 'result', call: step.call, result });
                    }
                } catch (err) {
                    log({ event: 'callError', call: step.call, error: err.rpcErrorCode ?? String(err) });
                }
            }, step.at ?? 0);
        }
    };
    const runScript = () => {
        if (scriptStarted) return;
        scriptStarted = true;
        runSteps(opts.script.filter((step) => !step.after && !step.when));
    };
    const calledBy = (method) => {
        if (seenCalls.has(method)) return;
        seenCalls.add(method);
        runSteps(opts.script.filter((step) => step.when === method));
    };

    client.handle(({ method, params }) => {
        cutAfter(method);
        setImmediate(() => calledBy(method));
        if (opts.silent.includes(method) || Date.now() < silentUntil) return new Promise(() => {});
        const error = opts.errors[method];
        if (error && error.left > 0) {
            error.left -= 1;
            throw createRPCError(error.code, 'scripted error');
        }
        switch (method) {
        case 'BootNotification': {
            const [status, interval] = opts.boot[Math.min(bootCount++, opts.boot.length - 1)].split(':');
            if (status === 'Accepted') setImmediate(runScript);
            return { status, currentTime: new Date().toISOString(), interval: Number(interval) };
        }
        case 'Heartbeat':
            return { currentTime: new Date().toISOString() };
        case 'Authorize':
            return { idTagInfo: idTagInfo(params.idTag) };
        case 'StartTransaction':
            return { transactionId: ++transactionId, idTagInfo: idTagInfo(params.idTag) };
        case 'StopTransaction':
            return params.idTag ? { idTagInfo: idTagInfo(params.idTag) } : {};
        case 'DataTransfer':
            return { status: 'UnknownVendorId' };
        default:
            return {};
        }
    });
});

(async () => {
    if (opts.cert) {
        const tlsServer = https.createServer({ cert: fs.readFileSync(opts.cert), key: fs.readFileSync(opts.key) });
        tlsServer.on('upgrade', server.handleUpgrade);
        await new Promise((resolve) => tlsServer.listen(opts.port, opts.host, resolve));
    } else {
        await server.listen(opts.port, opts.host);
    }
    log({ event: 'listening', port: opts.port, tls: !!opts.cert });
})();
