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
//   [--delay Action:Ms[:N]]      answer this action only Ms after it came (the first N times only)
//   [--idtag Tag:Status[:Expiry[:Parent]]]  idTagInfo of a card: Expiry in seconds from now
//                                (negative: already expired) or a date; once any is given,
//                                other cards are Invalid (else every card is Accepted)
//   [--script file.json]         [{"at": ms after the first accepted boot, "call": "Action", "params": {...}}
//                                  or {"at": ms, "close": true} or {"at": ms, "raw": "text frame"}
//                                  or {"after": "Action", "count": N, "cut": "close"|"refuse"|"silence", "ms": M}:
//                                  once the Nth CALL of Action came in, the link is cut for M ms: closed
//                                  with new connections refused, only refused, or left open unanswered;
//                                  "drop": closed at once, that CALL unanswered, new connections refused;
//                                  "once": true sends a step to the first connection only;
//                                  a call step with "when": "Action" is timed from the charge point's
//                                  first CALL of that action instead]
//   [--log file]                 one JSON line per frame and event
//
// A CALL that comes again under the unique id of one already taken, with the
// same action and payload, is a retry: it is answered with the first answer
// (once that is given) and not processed again, so a StartTransaction sent
// twice opens one transaction. Every transaction message processed is logged
// as a "txn" event, which the tests count against what was charged.
'use strict';

const fs = require('fs');
const https = require('https');
const { RPCServer, createRPCError, NOREPLY } = require('ocpp-rpc');

const opts = { host: '127.0.0.1', boot: ['Accepted:300'], silent: [], errors: {}, delays: {}, script: [], idTags: {} };
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
    } else if (a === '--delay') {
        const [act, ms, n] = argv[++i].split(':');
        opts.delays[act] = { ms: Number(ms), left: n === undefined ? Infinity : Number(n) };
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
function cutAfter(method, client) {
    received[method] = (received[method] ?? 0) + 1;
    let dropped = false;
    for (const step of opts.script) {
        if (step.after !== method || received[method] !== (step.count ?? 1)) continue;
        log({ event: 'cut', kind: step.cut, after: method, count: received[method], ms: step.ms });
        const until = Date.now() + (step.ms ?? 10000);
        if (step.cut === 'silence') silentUntil = until;
        else refuseUntil = until;
        // Closed just after this CALL is answered, or at once without an answer.
        if (step.cut === 'close' && current) { const c = current; setTimeout(() => c.close({ code: 1001, force: true }), 100); }
        if (step.cut === 'drop') { dropped = true; client.close({ code: 1001, force: true }); }
    }
    return dropped;
}

// CALLs taken, by unique id: action, payload and, once given, the answer
// frame; a retry is answered from here.
const taken = new Map();
function sendAnswer(entry) {
    for (const c of entry.waiting) {
        try { c.sendRaw(entry.answer); } catch (err) { log({ event: 'answerLost', id: entry.id, error: String(err) }); }
    }
    entry.waiting = [];
}

let bootCount = 0;
let transactionIds = 0;
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

    client.handle(({ method, params, messageId, reply }) => {
        const body = JSON.stringify(params);
        const known = taken.get(messageId);
        if (known && known.method === method && known.body === body) {
            log({ event: 'retry', id: messageId, method, answered: known.answer !== null });
            if (!known.waiting.includes(client)) known.waiting.push(client);
            if (known.answer !== null) sendAnswer(known);
            reply(NOREPLY);
            return;
        }
        if (cutAfter(method, client)) { reply(NOREPLY); return; }
        setImmediate(() => calledBy(method));
        const entry = { id: messageId, method, body, answer: null, waiting: [client] };
        taken.set(messageId, entry);
        if (opts.silent.includes(method) || Date.now() < silentUntil) { reply(NOREPLY); return; }
        const error = opts.errors[method];
        if (error && error.left > 0) {
            error.left -= 1;
            taken.delete(messageId);  // not processed: a retry is taken anew
            throw createRPCError(error.code, 'scripted error');
        }
        const result = answer(method, params, messageId, runScript);
        const delay = opts.delays[method];
        if (delay && delay.left > 0) {
            delay.left -= 1;
            log({ event: 'delayed', id: messageId, method, ms: delay.ms });
            setTimeout(() => {
                entry.answer = JSON.stringify([3, messageId, result]);
                sendAnswer(entry);
            }, delay.ms);
            reply(NOREPLY);
            return;
        }
        entry.answer = JSON.stringify([3, messageId, result]);
        entry.waiting = [];
        return result;
    });
});

// The answer to a CALL processed for the first time.
function answer(method, params, id, onAccepted) {
    switch (method) {
    case 'BootNotification': {
        const [status, interval] = opts.boot[Math.min(bootCount++, opts.boot.length - 1)].split(':');
        if (status === 'Accepted') setImmediate(onAccepted);
        return { status, currentTime: new Date().toISOString(), interval: Number(interval) };
    }
    case 'Heartbeat':
        return { currentTime: new Date().toISOString() };
    case 'Authorize':
        return { idTagInfo: idTagInfo(params.idTag) };
    case 'StartTransaction': {
        const transactionId = ++transactionIds;
        log({ event: 'txn', kind: 'start', id, transactionId, connectorId: params.connectorId,
              meterStart: params.meterStart, timestamp: params.timestamp });
        return { transactionId, idTagInfo: idTagInfo(params.idTag) };
    }
    case 'StopTransaction':
        log({ event: 'txn', kind: 'stop', id, transactionId: params.transactionId, meterStop: params.meterStop,
              reason: params.reason, timestamp: params.timestamp });
        return params.idTag ? { idTagInfo: idTagInfo(params.idTag) } : {};
    case 'MeterValues':
        if (params.transactionId !== undefined) {
            log({ event: 'txn', kind: 'meter', id, transactionId: params.transactionId,
                  connectorId: params.connectorId, timestamp: params.meterValue[0].timestamp });
        }
        return {};
    case 'DataTransfer':
        return { status: 'UnknownVendorId' };
    default:
        return {};
    }
}

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
