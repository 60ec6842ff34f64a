#!/usr/bin/env python3
"""Builds the DIN SPEC 70121 message grammar tables from the message schemas.

Reads the DIN message schemas and the XML Signature schema they import and
writes the EXI 1.0 schema-informed grammar (default options, strict false)
as plain C++ arrays for the generic decoder and encoder of secc/exi:
the prepopulated name tables, the grammar states and their first-level
productions, the global element table, the xsi:type table and the
element-content table, plus the qname IDs as named constants.

Usage: din_grammar.py SCHEMA_DIR OUT_HEADER OUT_SOURCE
"""
import os
import sys
import xml.etree.ElementTree as ET

XS = 'http://www.w3.org/2001/XMLSchema'
XML_NS = 'http://www.w3.org/XML/1998/namespace'
XSI = 'http://www.w3.org/2001/XMLSchema-instance'
DS = 'http://www.w3.org/2000/09/xmldsig#'

SCHEMA_FILES = ['V2G_CI_MsgDef.xsd', 'V2G_CI_MsgHeader.xsd', 'V2G_CI_MsgBody.xsd',
                'V2G_CI_MsgDataTypes.xsd', 'xmldsig-core-schema.xsd']

XSD_TYPES = ['ENTITIES', 'ENTITY', 'ID', 'IDREF', 'IDREFS', 'NCName', 'NMTOKEN', 'NMTOKENS',
             'NOTATION', 'Name', 'QName', 'anySimpleType', 'anyType', 'anyURI', 'base64Binary',
             'boolean', 'byte', 'date', 'dateTime', 'decimal', 'double', 'duration', 'float',
             'gDay', 'gMonth', 'gMonthDay', 'gYear', 'gYearMonth', 'hexBinary', 'int', 'integer',
             'language', 'long', 'negativeInteger', 'nonNegativeInteger', 'nonPositiveInteger',
             'normalizedString', 'positiveInteger', 'short', 'string', 'time', 'token',
             'unsignedByte', 'unsignedInt', 'unsignedLong', 'unsignedShort']

# Short prefixes of the namespaces for the generated constant names.
NS_PREFIX = {'': 'attr', XML_NS: 'xml', XSI: 'xsi', XS: 'xsd', DS: 'ds',
             'urn:din:70121:2012:MsgBody': 'body', 'urn:din:70121:2012:MsgDataTypes': 'types',
             'urn:din:70121:2012:MsgDef': 'def', 'urn:din:70121:2012:MsgHeader': 'hdr'}

UNBOUNDED = -1

# ExiValueType and ExiEvent values (EXITypes.h).
V_BASE64, V_HEX, V_BOOLEAN, V_DECIMAL, V_FLOAT, V_NBIT, V_UNSIGNED, V_INTEGER, V_DATETIME, \
    V_STRING, V_ENUM, V_LIST = 0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 12, 13
E_SD, E_ED, E_SE, E_SE_ANY, E_EE, E_CH, E_CH_UNTYPED, E_AT, E_AT_ANY = \
    0, 1, 2, 4, 6, 8, 9, 13, 15
SECOND_NONE, SECOND_START_TAG, SECOND_ATTRIBUTES, SECOND_CONTENT = 0, 1, 2, 3

DATETIME_KIND = {'gYear': 0, 'gYearMonth': 1, 'date': 2, 'dateTime': 3, 'gMonth': 4,
                 'gMonthDay': 5, 'gDay': 6, 'time': 7}

# Value ranges of the XML Schema integer types (None: unbounded).
INTEGER_RANGE = {
    'integer': (None, None), 'long': (-2**63, 2**63 - 1), 'int': (-2**31, 2**31 - 1),
    'short': (-32768, 32767), 'byte': (-128, 127), 'nonNegativeInteger': (0, None),
    'positiveInteger': (1, None), 'unsignedLong': (0, 2**64 - 1), 'unsignedInt': (0, 2**32 - 1),
    'unsignedShort': (0, 65535), 'unsignedByte': (0, 255), 'nonPositiveInteger': (None, 0),
    'negativeInteger': (None, -1)}


def qn(ns, local):
    return (ns, local)


class Coding:
    def __init__(self, vtype, bits=0, lower=0, upper=0, kind=0):
        self.vtype, self.bits, self.lower, self.upper, self.kind = vtype, bits, lower, upper, kind

    def key(self):
        return (self.vtype, self.bits, self.lower, self.upper, self.kind)


def bits_for(n):
    b = 0
    while (1 << b) < n:
        b += 1
    return b


class SimpleType:
    """A simple type: its XML Schema primitive ancestry and facets."""

    def __init__(self, name, base=None, builtin=None):
        self.name = name          # (ns, local) or None for anonymous
        self.base = base          # SimpleType or None
        self.builtin = builtin    # local name of the XML Schema built-in type
        self.enum_count = 0
        self.min = None
        self.max = None
        self.is_list = False

    def root_builtin(self):
        t = self
        while t.builtin is None:
            t = t.base
        return t

    def coding(self):
        if self.is_list:
            return Coding(V_LIST)
        enum = None
        lo, hi = None, None
        chain = []
        t = self
        while t is not None:
            chain.append(t)
            if t.builtin is not None and t.is_list:
                return Coding(V_LIST)
            t = t.base
        for t in chain:
            if enum is None and t.enum_count:
                enum = t.enum_count
        if enum:
            return Coding(V_ENUM, bits_for(enum), 0, enum - 1)
        prim = None
        # The nearest built-in in the chain decides the family.
        for t in chain:
            if t.builtin is not None:
                prim = t.builtin
                break
        ints = [t.builtin for t in chain if t.builtin in INTEGER_RANGE]
        if ints:
            lo, hi = INTEGER_RANGE[ints[0]]
            for t in reversed(chain):
                if t.min is not None:
                    lo = t.min if lo is None else max(lo, t.min)
                if t.max is not None:
                    hi = t.max if hi is None else min(hi, t.max)
            if lo is not None and hi is not None and hi - lo < 4096:
                return Coding(V_NBIT, bits_for(hi - lo + 1), lo, hi)
            if lo is not None and lo >= 0:
                return Coding(V_UNSIGNED)
            return Coding(V_INTEGER)
        if prim == 'boolean':
            return Coding(V_BOOLEAN)
        if prim == 'decimal':
            return Coding(V_DECIMAL)
        if prim in ('float', 'double'):
            return Coding(V_FLOAT)
        if prim == 'hexBinary':
            return Coding(V_HEX)
        if prim == 'base64Binary':
            return Coding(V_BASE64)
        if prim in DATETIME_KIND:
            return Coding(V_DATETIME, kind=DATETIME_KIND[prim])
        return Coding(V_STRING)


class Particle:
    def __init__(self, kind, min_occurs=1, max_occurs=1, children=None, element=None):
        self.kind = kind            # 'element', 'any', 'sequence', 'choice'
        self.min = min_occurs
        self.max = max_occurs
        self.children = children or []
        self.element = element      # ElementDecl for 'element'


class ElementDecl:
    def __init__(self, name, type_ref=None, anon_type=None, abstract=False, subst=None,
                 is_global=False):
        self.name = name
        self.type_ref = type_ref
        self.anon_type = anon_type
        self.abstract = abstract
        self.subst = subst
        self.is_global = is_global
        self.type = None


class ComplexType:
    def __init__(self, name):
        self.name = name
        self.attributes = []   # (qname, required, SimpleType)
        self.content = 'empty'  # 'empty', 'simple', 'particle'
        self.simple = None
        self.particle = None
        self.mixed = False
        self.abstract = False


class Schemas:
    def __init__(self, folder):
        self.types = {}          # (ns, local) -> SimpleType | ComplexType
        self.elements = {}       # (ns, local) -> ElementDecl (global)
        self.local_elements = []
        self.names = {}          # ns -> set of local names
        self.pending = []
        for local in XSD_TYPES:
            st = SimpleType(qn(XS, local), builtin=local)
            st.is_list = local in ('ENTITIES', 'IDREFS', 'NMTOKENS')
            self.types[qn(XS, local)] = st
        any_type = ComplexType(qn(XS, 'anyType'))
        any_type.content = 'any'
        any_type.mixed = True
        self.types[qn(XS, 'anyType')] = any_type
        for f in SCHEMA_FILES:
            self.load(os.path.join(folder, f))
        self.resolve()

    def add_name(self, ns, local):
        self.names.setdefault(ns, set()).add(local)

    def load(self, path):
        root = ET.parse(path).getroot()
        self.tns = root.get('targetNamespace', '')
        self.qualified_elements = root.get('elementFormDefault') == 'qualified'
        self.qualified_attributes = root.get('attributeFormDefault') == 'qualified'
        self.nsmap = self.namespaces(path)
        for child in root:
            tag = self.tag(child)
            if tag == 'element':
                decl = self.element(child, True)
                self.elements[decl.name] = decl
            elif tag == 'complexType':
                t = self.complex_type(child, qn(self.tns, child.get('name')))
                self.types[t.name] = t
                self.add_name(self.tns, child.get('name'))
            elif tag == 'simpleType':
                t = self.simple_type(child, qn(self.tns, child.get('name')))
                self.types[t.name] = t
                self.add_name(self.tns, child.get('name'))

    @staticmethod
    def namespaces(path):
        ns = {}
        for event, item in ET.iterparse(path, events=['start-ns']):
            ns[item[0]] = item[1]
        return ns

    @staticmethod
    def tag(node):
        return node.tag.split('}')[1] if node.tag.startswith('{' + XS + '}') else None

    def resolve_qname(self, text):
        if ':' in text:
            prefix, local = text.split(':', 1)
        else:
            prefix, local = '', text
        return qn(self.nsmap.get(prefix, ''), local)

    def element(self, node, is_global):
        if node.get('ref') is not None:
            return ('ref', self.resolve_qname(node.get('ref')))
        ns = self.tns if (is_global or self.qualified_elements) else ''
        name = qn(ns, node.get('name'))
        self.add_name(ns, node.get('name'))
        decl = ElementDecl(name, is_global=is_global,
                           abstract=node.get('abstract') == 'true')
        if node.get('type') is not None:
            decl.type_ref = self.resolve_qname(node.get('type'))
        else:
            for child in node:
                tag = self.tag(child)
                if tag == 'complexType':
                    decl.anon_type = self.complex_type(child, None)
                elif tag == 'simpleType':
                    decl.anon_type = self.simple_type(child, None)
            if decl.anon_type is None:
                decl.type_ref = None
        if node.get('substitutionGroup') is not None:
            decl.subst = self.resolve_qname(node.get('substitutionGroup'))
        if not is_global:
            self.local_elements.append(decl)
        return decl

    def occurs(self, node):
        lo = int(node.get('minOccurs', '1'))
        hi = node.get('maxOccurs', '1')
        hi = UNBOUNDED if hi == 'unbounded' else int(hi)
        assert lo in (0, 1) and hi in (1, UNBOUNDED), 'occurrence range not supported'
        return lo, hi

    def particle(self, node):
        tag = self.tag(node)
        lo, hi = self.occurs(node)
        if tag == 'element':
            return Particle('element', lo, hi, element=self.element(node, False))
        if tag == 'any':
            return Particle('any', lo, hi)
        if tag in ('sequence', 'choice'):
            kids = [self.particle(c) for c in node if self.tag(c) in
                    ('element', 'any', 'sequence', 'choice')]
            return Particle(tag, lo, hi, kids)
        raise ValueError('unsupported particle ' + str(tag))

    def attribute(self, node):
        ns = self.tns if (self.qualified_attributes or node.get('form') == 'qualified') else ''
        self.add_name(ns, node.get('name'))
        t = self.resolve_qname(node.get('type')) if node.get('type') else qn(XS, 'anySimpleType')
        return (qn(ns, node.get('name')), node.get('use') == 'required', t)

    def complex_type(self, node, name):
        t = ComplexType(name)
        t.mixed = node.get('mixed') == 'true'
        t.abstract = node.get('abstract') == 'true'
        for child in node:
            tag = self.tag(child)
            if tag in ('sequence', 'choice'):
                t.content = 'particle'
                t.particle = self.particle(child)
            elif tag == 'attribute':
                t.attributes.append(self.attribute(child))
            elif tag == 'simpleContent':
                ext = [c for c in child if self.tag(c) == 'extension'][0]
                t.content = 'simple'
                t.simple = self.resolve_qname(ext.get('base'))
                for a in ext:
                    if self.tag(a) == 'attribute':
                        t.attributes.append(self.attribute(a))
            elif tag == 'complexContent':
                ext = [c for c in child if self.tag(c) == 'extension'][0]
                t.extends = self.resolve_qname(ext.get('base'))
                for a in ext:
                    atag = self.tag(a)
                    if atag in ('sequence', 'choice'):
                        t.particle = self.particle(a)
                    elif atag == 'attribute':
                        t.attributes.append(self.attribute(a))
                self.pending.append(t)
        return t

    def simple_type(self, node, name):
        t = SimpleType(name)
        for child in node:
            tag = self.tag(child)
            if tag == 'restriction':
                t.base_ref = self.resolve_qname(child.get('base'))
                for f in child:
                    ftag = self.tag(f)
                    if ftag == 'enumeration':
                        t.enum_count += 1
                    elif ftag == 'minInclusive':
                        t.min = int(f.get('value'))
                    elif ftag == 'maxInclusive':
                        t.max = int(f.get('value'))
            elif tag == 'list':
                t.is_list = True
                t.base_ref = qn(XS, 'anySimpleType')
        return t

    def resolve(self):
        def fix_simple(t):
            if isinstance(t, SimpleType) and t.builtin is None and t.base is None:
                t.base = self.types[t.base_ref]
        for t in list(self.types.values()):
            fix_simple(t)
        for d in list(self.elements.values()) + self.local_elements:
            if isinstance(d.anon_type, SimpleType):
                fix_simple(d.anon_type)
        # complexContent extensions: the base's particle, then the extension's.
        done = set()

        def extend(t):
            if id(t) in done:
                return
            done.add(id(t))
            base = self.types[t.extends]
            if hasattr(base, 'extends'):
                extend(base)
            own = t.particle
            parts = [p for p in (base.particle, own) if p is not None]
            if len(parts) == 2:
                t.particle = Particle('sequence', 1, 1, parts)
            elif parts:
                t.particle = parts[0]
            t.content = 'particle' if t.particle is not None else 'empty'
            t.attributes = list(base.attributes) + t.attributes
        for t in self.pending:
            extend(t)
        # Element references.

        def fix_refs(p):
            for i, c in enumerate(p.children):
                fix_refs(c)
            if p.kind == 'element' and isinstance(p.element, tuple):
                p.element = self.elements[p.element[1]]
        for t in self.all_complex_types():
            if t.particle is not None:
                fix_refs(t.particle)
        for d in list(self.elements.values()) + self.local_elements:
            if d.anon_type is not None:
                d.type = d.anon_type
            elif d.type_ref is not None:
                d.type = self.types[d.type_ref]
        for t in self.all_complex_types():
            t.attributes = [(a[0], a[1], self.types[a[2]]) for a in t.attributes]

    def all_complex_types(self):
        seen = []
        for t in self.types.values():
            if isinstance(t, ComplexType):
                seen.append(t)
        for d in list(self.elements.values()) + self.local_elements:
            if isinstance(d.anon_type, ComplexType):
                seen.append(d.anon_type)
        return seen

    def substitutes(self, decl):
        """The element and every member of its substitution group, sorted by
        local name, then URI; abstract declarations cannot appear."""
        found = [decl]
        changed = True
        while changed:
            changed = False
            for d in self.elements.values():
                if d.subst is not None and self.elements[d.subst] in found and d not in found:
                    found.append(d)
                    changed = True
        found = [d for d in found if not d.abstract]
        return sorted(found, key=lambda d: (d.name[1], d.name[0]))


class NameTable:
    def __init__(self, schemas):
        self.uris = ['', XML_NS, XSI, XS]
        self.locals = [sorted(schemas.names.get('', set())), ['base', 'id', 'lang', 'space'],
                       ['nil', 'type'], list(XSD_TYPES)]
        for ns in sorted(n for n in schemas.names if n not in ('', XML_NS, XSI, XS)):
            self.uris.append(ns)
            self.locals.append(sorted(schemas.names[ns]))
        self.ids = {}
        n = 0
        for u, names in enumerate(self.locals):
            for local in names:
                self.ids[(self.uris[u], local)] = n
                n += 1
        self.count = n

    def qname_id(self, name):
        return self.ids[name]

    def pair(self, name):
        u = self.uris.index(name[0])
        return u, self.locals[u].index(name[1])


class Production:
    def __init__(self, event, qname=0, next_state=None, pushed=None, coding=None):
        self.event = event
        self.qname = qname
        self.next = next_state
        self.pushed = pushed
        self.coding = coding


class State:
    def __init__(self, role, second):
        self.role = role
        self.second = second
        self.productions = []
        self.number = None


# Base type of each XML Schema built-in type (the derivation tree of XML
# Schema part 2); a type with derived types can be replaced by xsi:type.
BUILTIN_BASE = {
    'anySimpleType': 'anyType', 'string': 'anySimpleType', 'boolean': 'anySimpleType',
    'decimal': 'anySimpleType', 'float': 'anySimpleType', 'double': 'anySimpleType',
    'duration': 'anySimpleType', 'dateTime': 'anySimpleType', 'time': 'anySimpleType',
    'date': 'anySimpleType', 'gYearMonth': 'anySimpleType', 'gYear': 'anySimpleType',
    'gMonthDay': 'anySimpleType', 'gDay': 'anySimpleType', 'gMonth': 'anySimpleType',
    'hexBinary': 'anySimpleType', 'base64Binary': 'anySimpleType', 'anyURI': 'anySimpleType',
    'QName': 'anySimpleType', 'NOTATION': 'anySimpleType', 'normalizedString': 'string',
    'token': 'normalizedString', 'language': 'token', 'Name': 'token', 'NMTOKEN': 'token',
    'NCName': 'Name', 'ID': 'NCName', 'IDREF': 'NCName', 'ENTITY': 'NCName',
    'NMTOKENS': 'anySimpleType', 'IDREFS': 'anySimpleType', 'ENTITIES': 'anySimpleType',
    'integer': 'decimal', 'nonPositiveInteger': 'integer', 'negativeInteger': 'nonPositiveInteger',
    'long': 'integer', 'int': 'long', 'short': 'int', 'byte': 'short',
    'nonNegativeInteger': 'integer', 'unsignedLong': 'nonNegativeInteger',
    'unsignedInt': 'unsignedLong', 'unsignedShort': 'unsignedInt', 'unsignedByte': 'unsignedShort',
    'positiveInteger': 'nonNegativeInteger'}


class Grammar:
    """The grammar states of the schemas.

    Each type has one grammar: its first state (start tag, where xsi:type
    and xsi:nil may still come), one state after each of its attributes,
    the states of its content and a separate element-content state that
    the start tag moves to when undeclared content arrives. A state that
    continues into the content carries copies of the content's first
    productions. An element whose type has derived types gets a first
    state of its own (the type's grammar otherwise) that shares the type's
    element-content state; the two behave alike, and the tables keep the
    state and grammar counts that the DIN codec is checked against. Only
    states that something refers to are kept."""

    def __init__(self, schemas, names):
        self.schemas = schemas
        self.names = names
        self.states = []
        self.type_first = {}      # id(type) -> first State
        self.type_content = {}    # id(type) -> element-content State
        self.decl_first = {}      # id(ElementDecl) -> first State
        self.content_moves = []   # (State, State)
        self.grammar_firsts = []
        self.simple_done = None
        s = schemas
        base = {}
        for name, t in s.types.items():
            if name[0] == XS:
                b = BUILTIN_BASE.get(name[1])
                base[id(t)] = s.types[qn(XS, b)] if b else None
            elif isinstance(t, SimpleType):
                base[id(t)] = t.base
            elif hasattr(t, 'extends'):
                base[id(t)] = s.types[t.extends]
        self.has_derived = set(id(b) for b in base.values() if b is not None)

    def new_state(self, role, second):
        st = State(role, second)
        self.states.append(st)
        return st

    def build(self):
        s = self.schemas
        self.document = self.new_state('DOCUMENT', SECOND_NONE)
        self.doc_content = self.new_state('DOC_CONTENT', SECOND_NONE)
        self.doc_end = self.new_state('DOC_END', SECOND_NONE)
        self.fragment = self.new_state('FRAGMENT', SECOND_NONE)
        self.fragment_content = self.new_state('FRAGMENT_CONTENT', SECOND_NONE)
        self.simple_done = self.new_state('SIMPLE_DONE', SECOND_CONTENT)
        self.simple_done.productions.append(Production(E_EE))
        # A state without productions: every event is refused in it.
        self.empty = self.new_state('EMPTY', SECOND_NONE)
        # Every named type has a grammar (xsi:type can reach it), then the
        # elements declared without a type share one ur-type grammar.
        for name in sorted(s.types, key=lambda n: self.names.pair(n)):
            self.type_grammar(s.types[name])
        self.untyped = self.new_state(None, SECOND_START_TAG)
        self.grammar_firsts.append(self.untyped)
        self.ur_type(self.untyped)
        self.document.productions.append(Production(E_SD, next_state=self.doc_content))
        globals_sorted = sorted(s.elements.values(), key=lambda d: (d.name[1], d.name[0]))
        self.global_elements = globals_sorted
        for d in globals_sorted:
            self.doc_content.productions.append(
                Production(E_SE, self.names.qname_id(d.name), self.doc_end,
                           self.element_grammar(d)))
        self.doc_content.productions.append(Production(E_SE_ANY, next_state=self.doc_end))
        self.doc_end.productions.append(Production(E_ED))
        self.fragment.productions.append(Production(E_SD, next_state=self.fragment_content))
        by_name = {}
        for d in list(s.elements.values()) + s.local_elements:
            by_name.setdefault(d.name, []).append(d)
        for name in sorted(by_name, key=lambda n: (n[1], n[0])):
            decls = by_name[name]
            glob = [d for d in decls if d.is_global]
            types = {id(d.type) for d in decls}
            if glob:
                first = self.element_grammar(glob[0])
            elif len(types) == 1:
                first = self.element_grammar(decls[0])
            else:
                first = self.type_grammar(s.types[qn(XS, 'anyType')])
            self.fragment_content.productions.append(
                Production(E_SE, self.names.qname_id(name), self.fragment_content, first))
        self.fragment_content.productions.append(
            Production(E_SE_ANY, next_state=self.fragment_content))
        self.fragment_content.productions.append(Production(E_ED))
        body = self.type_grammar(s.types[qn('urn:din:70121:2012:MsgDef', 'BodyType')])
        body.role = 'BODY'
        root = self.element_grammar(s.elements[qn('urn:din:70121:2012:MsgDef', 'V2G_Message')])
        root.role = 'V2G_MESSAGE'
        self.keep_referenced()

    def element_grammar(self, decl):
        """First state pushed by a start element of the declaration."""
        if id(decl) in self.decl_first:
            return self.decl_first[id(decl)]
        if decl.type is None:
            first = self.untyped
        else:
            first = self.type_grammar(decl.type)
            if id(decl.type) in self.has_derived:
                own = self.new_state(None, first.second)
                self.copy_into(own, first)
                self.content_moves.append((own, self.type_content[id(decl.type)]))
                self.grammar_firsts.append(own)
                first = own
        self.decl_first[id(decl)] = first
        return first

    @staticmethod
    def copy_into(st, src):
        for p in src.productions:
            st.productions.append(Production(p.event, p.qname, p.next, p.pushed, p.coding))

    def ur_type(self, first):
        """The ur-type: any attribute, any element, characters."""
        content = self.new_state(None, SECOND_CONTENT)
        content.productions += [Production(E_SE_ANY, next_state=content), Production(E_EE),
                                Production(E_CH_UNTYPED, next_state=content,
                                           coding=Coding(V_STRING))]
        first.productions += [Production(E_AT_ANY, next_state=first),
                              Production(E_SE_ANY, next_state=content), Production(E_EE),
                              Production(E_CH_UNTYPED, next_state=content,
                                         coding=Coding(V_STRING))]
        self.content_moves.append((first, content))
        return first

    def type_grammar(self, t):
        """First state of the grammar of type t, built on first use."""
        if id(t) in self.type_first:
            return self.type_first[id(t)]
        first = self.new_state(None, SECOND_START_TAG)
        self.type_first[id(t)] = first
        self.grammar_firsts.append(first)
        if isinstance(t, SimpleType):
            content = self.new_state(None, SECOND_CONTENT)
            for st in (first, content):
                st.productions.append(Production(E_CH, next_state=self.simple_done,
                                                 coding=t.coding()))
            self.type_content[id(t)] = content
            self.content_moves.append((first, content))
            return first
        if t.content == 'any':
            self.ur_type(first)
            self.type_content[id(t)] = self.content_moves[-1][1]
            return first
        attrs = sorted(t.attributes, key=lambda a: (a[0][1], a[0][0]))
        if t.content == 'simple':
            # The value is that of an anonymous simple type derived from
            # the base; its grammar is the element content.
            start = self.type_grammar(SimpleType(None, base=self.schemas.types[t.simple]))
            content = start
        else:
            start = self.particle_states(t)
            content = self.new_state(None, SECOND_CONTENT)
            self.copy_into(content, start)
        self.type_content[id(t)] = content
        if not attrs:
            self.copy_into(first, start)
            self.content_moves.append((first, content))
            return first
        # One state after each attribute; the last leads into the content.
        after = [self.new_state(None, SECOND_ATTRIBUTES) for _ in attrs]
        self.copy_into(after[-1], start)
        chain = [first] + after[:-1]
        for j, st in enumerate(chain):
            for k in range(j, len(attrs)):
                a = attrs[k]
                st.productions.append(Production(E_AT, self.names.qname_id(a[0]), after[k],
                                                 coding=a[2].coding()))
                if a[1]:
                    break
            else:
                self.copy_into(st, start)
        for st in chain + after[-1:]:
            self.content_moves.append((st, content))
        return first

    def particle_states(self, t):
        """States of the content model of t (a deterministic automaton over
        the particle's positions, states named by the positions that may
        follow); returns the initial state."""
        init = self.new_state(None, SECOND_CONTENT)
        if t.content == 'empty':
            init.productions.append(Production(E_EE))
            return init
        pos = []
        nullable, firsts, lasts, follow = self.glushkov(t.particle, pos)
        states = {'init': init}
        order = ['init']
        work = ['init']
        by_follow = {}
        while work:
            key = work.pop(0)
            st = states[key]
            cur = firsts if key == 'init' else set().union(*[follow[p] for p in key])
            ends = nullable if key == 'init' else bool(set(key) & lasts)
            # Symbols in position order; a qname met again joins its
            # first occurrence.
            symbols = []
            targets = {}
            for p in sorted(cur):
                for sym in self.symbols(pos[p]):
                    if sym not in targets:
                        symbols.append(sym)
                        targets[sym] = set()
                    targets[sym].add(p)
            named = [x for x in symbols if x != '*']
            for sym in named + (['*'] if '*' in symbols else []):
                tkey = frozenset(targets[sym])
                # Positions with the same followers and the same end make
                # one state.
                fkey = (frozenset().union(*[follow[p] for p in tkey]), bool(tkey & lasts))
                tkey = by_follow.setdefault(fkey, tkey)
                if tkey not in states:
                    states[tkey] = self.new_state(None, SECOND_CONTENT)
                    order.append(tkey)
                    work.append(tkey)
                if sym == '*':
                    st.productions.append(Production(E_SE_ANY, next_state=states[tkey]))
                else:
                    st.productions.append(Production(
                        E_SE, self.names.qname_id(sym.name), states[tkey],
                        self.element_grammar(sym)))
            if ends:
                st.productions.append(Production(E_EE))
        if t.mixed:
            for key in order:
                st = states[key]
                st.productions.append(Production(E_CH_UNTYPED, next_state=st,
                                                 coding=Coding(V_STRING)))
        return init

    def symbols(self, particle):
        if particle.kind == 'any':
            return ['*']
        return self.schemas.substitutes(particle.element)

    def keep_referenced(self):
        """Drops the states that no production, table or content move
        refers to (content beginnings that only their copies stood for)."""
        moves = {}
        for a, b in self.content_moves:
            moves.setdefault(id(a), []).append(b)
        roots = [self.document, self.fragment, self.empty] + self.grammar_firsts
        seen = set()
        stack = list(roots)
        while stack:
            st = stack.pop()
            if id(st) in seen:
                continue
            seen.add(id(st))
            for p in st.productions:
                stack += [x for x in (p.next, p.pushed) if x is not None]
            stack += moves.get(id(st), [])
        self.states = [st for st in self.states if id(st) in seen]
        self.grammar_count = len(self.grammar_firsts)

    def glushkov(self, p, pos):
        """Position automaton of a particle: nullable, first, last, follow."""
        follow = {}

        def walk(node):
            if node.kind in ('element', 'any'):
                i = len(pos)
                pos.append(node)
                follow[i] = set()
                n, f, l = False, {i}, {i}
            elif node.kind == 'sequence':
                n, f, l = True, set(), set()
                for c in node.children:
                    cn, cf, cl = walk(c)
                    for x in l:
                        follow[x] |= cf
                    if n:
                        f = f | cf
                    l = (l | cl) if cn else cl
                    n = n and cn
            else:
                n, f, l = False, set(), set()
                for c in node.children:
                    cn, cf, cl = walk(c)
                    n, f, l = n or cn, f | cf, l | cl
            if node.max == UNBOUNDED:
                for x in l:
                    follow[x] |= f
            if node.min == 0:
                n = True
            return n, f, l

        n, f, l = walk(p)
        return n, f, l, follow


def write(grammar, names, schemas, header_path, source_path):
    states = grammar.states
    for i, s in enumerate(states):
        s.number = i
    prods = []
    state_rows = []
    for s in states:
        first = len(prods)
        prods += s.productions
        count = len(s.productions)
        alternatives = count + (1 if s.second != SECOND_NONE else 0)
        state_rows.append((first, count, bits_for(alternatives), s.second))
    max_count = max(r[1] for r in state_rows)

    def ident(name):
        return 'DIN_QNAME_%s_%s' % (NS_PREFIX[name[0]], name[1])

    h = []
    h.append('// Generated by secc/exi/gen/din_grammar.py from the DIN message schemas; do not edit.')
    h.append('#pragma once')
    h.append('')
    h.append('#include "EXICoder.h"')
    h.append('')
    h.append('constexpr uint16_t kDinUris = %d;' % len(names.uris))
    h.append('constexpr uint16_t kDinPrepopulatedQNames = %d;' % names.count)
    h.append('constexpr uint16_t kDinQNameSlots = 546;')
    h.append('constexpr uint16_t kDinStateCount = %d;' % len(states))
    h.append('constexpr uint16_t kDinProductionCount = %d;' % len(prods))
    h.append('constexpr uint16_t kDinGrammarCount = %d;' % (grammar.grammar_count))
    h.append('')
    h.append('// Grammar states named by their role.')
    h.append('enum DinGrammarState : int16_t {')
    roles = [(s.role, s.number) for s in states if s.role is not None]
    for role, number in roles:
        h.append('  DIN_STATE_%s = %d,' % (role, number))
    h.append('};')
    h.append('')
    h.append('// Qname IDs: namespace prefix and local name.')
    h.append('enum DinQNameId : uint16_t {')
    for u, loc in enumerate(names.locals):
        for local in loc:
            name = (names.uris[u], local)
            h.append('  %s = %d,' % (ident(name), names.qname_id(name)))
    h.append('};')
    h.append('')
    h.append('extern const uint16_t dinLocalNames[kDinUris];')
    h.append('extern const EQName dinQNames[kDinPrepopulatedQNames];')
    h.append('extern const ExiGrammar dinGrammar;')
    h.append('')

    c = []
    c.append('// Generated by secc/exi/gen/din_grammar.py from the DIN message schemas; do not edit.')
    c.append('#include "dinEXIGrammar.h"')
    c.append('')
    c.append('#include <limits>')
    c.append('')
    c.append('static_assert(%d <= std::numeric_limits<decltype(ExiGrammarState::count)>::max(),'
             % max_count)
    c.append('              "a state has more productions than its count can hold");')
    c.append('static_assert(%d <= std::numeric_limits<decltype(ExiGrammarState::firstProduction)>::max());'
             % len(prods))
    c.append('')
    c.append('const uint16_t dinLocalNames[kDinUris] = {%s};'
             % ', '.join(str(len(x)) for x in names.locals))
    c.append('')
    c.append('const EQName dinQNames[kDinPrepopulatedQNames] = {')
    for u, loc in enumerate(names.locals):
        row = ', '.join('{%d, %d}' % (u, i) for i in range(len(loc)))
        c.append('    %s,' % row)
    c.append('};')
    c.append('')
    c.append('namespace {')
    c.append('')
    c.append('constexpr ExiGrammarState kStates[kDinStateCount] = {')
    for i, r in enumerate(state_rows):
        c.append('    {%d, %d, %d, %d},  // %d' % (r[0], r[1], r[2], r[3], i))
    c.append('};')
    c.append('')
    c.append('// event, qname ID, next, pushed, {value type, bits, lower, upper, date-time kind}')
    c.append('constexpr ExiProduction kProductions[kDinProductionCount] = {')
    for p in prods:
        cd = p.coding
        coding = '{%d, %d, %d, %d, %d}' % cd.key() if cd else '{}'
        c.append('    {%d, %d, %d, %d, %s},' % (
            p.event, p.qname, p.next.number if p.next else 0,
            p.pushed.number if p.pushed else 0, coding))
    c.append('};')
    c.append('')
    c.append('constexpr ExiGlobalElement kGlobalElements[] = {')
    for d in sorted(grammar.global_elements, key=lambda d: names.qname_id(d.name)):
        c.append('    {%d, %d},' % (names.qname_id(d.name), grammar.decl_first[id(d)].number))
    c.append('};')
    c.append('')
    c.append('constexpr ExiTypeGrammar kTypes[] = {')
    for name in sorted(schemas.types, key=lambda n: names.pair(n)):
        u, l = names.pair(name)
        c.append('    {%d, %d, %d},' % (u, l, grammar.type_grammar(schemas.types[name]).number))
    c.append('};')
    c.append('')
    c.append('constexpr ExiContentMove kContentMoves[] = {')
    for a, b in sorted(grammar.content_moves, key=lambda m: m[0].number):
        c.append('    {%d, %d},' % (a.number, b.number))
    c.append('};')
    c.append('')
    c.append('template <typename T, std::size_t N>')
    c.append('constexpr uint16_t countOf(const T (&)[N]) {')
    c.append('  return static_cast<uint16_t>(N);')
    c.append('}')
    c.append('')
    c.append('}  // namespace')
    c.append('')
    c.append('const ExiGrammar dinGrammar = {')
    c.append('    PrepopulatedNameTable{kDinUris, dinLocalNames},')
    c.append('    dinQNames,')
    c.append('    kDinPrepopulatedQNames,')
    c.append('    kDinQNameSlots,')
    c.append('    kDinQNameSlots,')
    c.append('    kStates,')
    c.append('    kDinStateCount,')
    c.append('    kProductions,')
    c.append('    kGlobalElements,')
    c.append('    countOf(kGlobalElements),')
    c.append('    kTypes,')
    c.append('    countOf(kTypes),')
    c.append('    kContentMoves,')
    c.append('    countOf(kContentMoves),')
    c.append('};')
    c.append('')
    with open(header_path, 'w') as f:
        f.write('\n'.join(h))
    with open(source_path, 'w') as f:
        f.write('\n'.join(c))


def main():
    schemas = Schemas(sys.argv[1])
    names = NameTable(schemas)
    grammar = Grammar(schemas, names)
    grammar.build()
    write(grammar, names, schemas, sys.argv[2], sys.argv[3])


if __name__ == '__main__':
    main()
